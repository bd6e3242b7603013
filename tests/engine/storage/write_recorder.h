// A file write layer for power-cut tests: RecordingWriter passes every write, size
// change and barrier on to the real file and keeps a record of it; ReplayCut rebuilds,
// from that record, one of the files a power cut at a chosen moment could have left.
// FailingBarriers passes writes on and fails every barrier, as a disk that lost written
// data.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "engine/platform/file.h"

namespace dadoveri::testing {

struct RecordedWrite {
  enum Kind : uint8_t { kWrite, kSetSize, kBarrier };
  Kind kind;
  int64_t position;  // kWrite: where; kSetSize: the new size
  std::vector<uint8_t> bytes;
};

class RecordingWriter : public FileWriter {
 public:
  explicit RecordingWriter(FileWriter& next) : next_(next) {}

  bool Write(const void* buffer, size_t count, int64_t position) override {
    if (!next_.Write(buffer, count, position)) return false;
    const auto* p = static_cast<const uint8_t*>(buffer);
    ops_.push_back({RecordedWrite::kWrite, position, std::vector<uint8_t>(p, p + count)});
    return true;
  }
  bool SetSize(int64_t size) override {
    if (!next_.SetSize(size)) return false;
    ops_.push_back({RecordedWrite::kSetSize, size, {}});
    return true;
  }
  bool SyncData() override {
    if (!next_.SyncData()) return false;
    ops_.push_back({RecordedWrite::kBarrier, 0, {}});
    return true;
  }
  bool Flush() override {
    if (!next_.Flush()) return false;
    ops_.push_back({RecordedWrite::kBarrier, 0, {}});
    return true;
  }

  const std::vector<RecordedWrite>& Ops() const { return ops_; }
  size_t Count() const { return ops_.size(); }
  size_t Barriers() const {
    size_t n = 0;
    for (const RecordedWrite& op : ops_) n += op.kind == RecordedWrite::kBarrier;
    return n;
  }

 private:
  FileWriter& next_;
  std::vector<RecordedWrite> ops_;
};

// Sectors reach the medium whole or not at all; larger writes may tear between them.
inline constexpr int64_t kSectorSize = 512;

inline void ApplyBytes(std::vector<uint8_t>& file, int64_t position, const uint8_t* bytes,
                       size_t count) {
  const size_t end = static_cast<size_t>(position) + count;
  if (file.size() < end) file.resize(end, 0);
  std::memcpy(file.data() + position, bytes, count);
}

// The file a power cut could leave once the first `cut` recorded calls were made on a
// file that held `before`: every call up to the last barrier among them arrived, in
// order; of the calls after it each size change arrived with probability `arrives`, and
// each write sector by sector (a torn write). What arrived is applied in the order it
// was made; `arrives` 1 keeps them all, as a cut with the writes in order would.
inline std::vector<uint8_t> ReplayCut(const std::vector<uint8_t>& before,
                                      const std::vector<RecordedWrite>& ops, size_t cut,
                                      double arrives_chance, std::mt19937& rng) {
  size_t durable = 0;  // calls before this index all arrived
  for (size_t i = 0; i < cut; ++i)
    if (ops[i].kind == RecordedWrite::kBarrier) durable = i + 1;
  std::vector<uint8_t> file = before;
  std::bernoulli_distribution arrives(arrives_chance);
  for (size_t i = 0; i < cut; ++i) {
    const RecordedWrite& op = ops[i];
    const bool sure = i < durable;
    switch (op.kind) {
      case RecordedWrite::kBarrier:
        break;
      case RecordedWrite::kSetSize:
        if (sure || arrives(rng)) file.resize(static_cast<size_t>(op.position), 0);
        break;
      case RecordedWrite::kWrite: {
        const int64_t end = op.position + static_cast<int64_t>(op.bytes.size());
        for (int64_t at = op.position; at < end;) {
          const int64_t next = std::min(end, (at / kSectorSize + 1) * kSectorSize);
          if (sure || arrives(rng))
            ApplyBytes(file, at, op.bytes.data() + (at - op.position), static_cast<size_t>(next - at));
          at = next;
        }
        break;
      }
    }
  }
  return file;
}

// Counts the barriers asked of it and fails them, as a disk that lost written data.
class FailingBarriers : public FileWriter {
 public:
  explicit FailingBarriers(PlatformFile& next) : next_(next) {}
  bool Write(const void* buffer, size_t count, int64_t position) override {
    return next_.Write(buffer, count, position);
  }
  bool SetSize(int64_t size) override { return next_.SetSize(size); }
  bool SyncData() override { return fail(); }
  bool Flush() override { return fail(); }
  int Calls = 0;

 private:
  bool fail() {
    ++Calls;
    next_.SetLastError(EIO);
    return false;
  }
  PlatformFile& next_;
};


}  // namespace dadoveri::testing

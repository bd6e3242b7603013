// BLOB compression: ratio and throughput both ways of ZLIB (modes 1, 6, 9), BZIP (9) and
// PPM (modes 2, 4, 6) through TABSCompressedBLOBStream over a memory stream, on a few MB
// of English text (the fortune files of the Debian package `fortunes`), next to zlib's
// compress2/uncompress and bzip2's buffer calls on the same bytes cut into the same blocks.
// The table cases store the same text as BLOB values of 1 MB in a file table whose BLOB
// field has the algorithm, mode and block size, in one transaction, then read every value
// back; their ratio counts the pages the values took (up to the highest page in use), page
// headers and BLOB headers included.
//
// Counters: ratio = stored bytes ÷ input bytes (block headers included for the stream);
// bytes_per_second counts uncompressed bytes both ways.
#include <benchmark/benchmark.h>
#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/database/disk_database_data.h"
#include "engine/database/local_cursor.h"
#include "engine/storage/compressed_blob_stream.h"
#include "engine/table/cursor.h"
#include "engine/table/session.h"
#include "engine/table/table_data.h"
#include "engine/table/table_metadata.h"

#include <unistd.h>

namespace dadoveri {
namespace {

using Bytes = std::vector<uint8_t>;

// Every fortune file (not the .dat indexes, not the links), in name order.
const Bytes& corpus() {
  static const Bytes text = [] {
    Bytes all;
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/share/games/fortunes", ec))
      if (entry.is_regular_file() && !entry.is_symlink() && entry.path().extension() != ".dat")
        files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
      std::ifstream in(f, std::ios::binary);
      all.insert(all.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return all;
  }();
  return text;
}

bool have_corpus(benchmark::State& state) {
  if (corpus().size() < 1000000) {
    state.SkipWithError("fortunes not installed: apt-get install fortunes");
    return false;
  }
  return true;
}

TABSCompressedStreamParams params_for(uint8_t algorithm, uint8_t mode) {
  TABSCompressedStreamParams p;
  p.BlockSize = 0;  // the mode's default block size
  p.CompressionAlgorithm = algorithm;
  p.CompressionMode = mode;
  return p;
}

void set_counters(benchmark::State& state, size_t stored) {
  const auto n = static_cast<int64_t>(corpus().size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
  state.counters["ratio"] = static_cast<double>(stored) / static_cast<double>(n);
  state.counters["input_MB"] = static_cast<double>(n) / 1e6;
}

void BM_StreamCompress(benchmark::State& state) {
  if (!have_corpus(state)) return;
  const auto algorithm = static_cast<uint8_t>(state.range(0));
  const auto mode = static_cast<uint8_t>(state.range(1));
  const Bytes& text = corpus();
  size_t stored = 0;
  for (auto _ : state) {
    TABSMemoryStream underlying;
    TABSCompressedBLOBStream s(underlying, params_for(algorithm, mode), true);
    s.Write(text.data(), static_cast<int64_t>(text.size()));
    stored = static_cast<size_t>(underlying.GetSize());
    benchmark::DoNotOptimize(stored);
  }
  set_counters(state, stored);
}

void BM_StreamDecompress(benchmark::State& state) {
  if (!have_corpus(state)) return;
  const auto algorithm = static_cast<uint8_t>(state.range(0));
  const auto mode = static_cast<uint8_t>(state.range(1));
  const Bytes& text = corpus();
  TABSMemoryStream underlying;
  TABSCompressedStreamParams p;
  {
    TABSCompressedBLOBStream s(underlying, params_for(algorithm, mode), true);
    s.Write(text.data(), static_cast<int64_t>(text.size()));
    p = s.Params();
  }
  Bytes out(text.size());
  for (auto _ : state) {
    TABSCompressedBLOBStream s(underlying, p, false);
    s.Read(out.data(), static_cast<int64_t>(out.size()));
    benchmark::DoNotOptimize(out.data());
  }
  if (out != text) state.SkipWithError("round trip differs");
  set_counters(state, static_cast<size_t>(underlying.GetSize()));
}

// The libraries' own buffer calls on the same blocks.
std::vector<Bytes> library_blocks(uint8_t algorithm, uint8_t mode) {
  const Bytes& text = corpus();
  const size_t block = static_cast<size_t>(DefaultBlobBlockSize(mode));
  std::vector<Bytes> packed;
  for (size_t at = 0; at < text.size(); at += block) {
    const size_t n = std::min(block, text.size() - at);
    Bytes out;
    if (algorithm == acZLIB) {
      uLongf size = compressBound(static_cast<uLong>(n));
      out.resize(size);
      compress2(out.data(), &size, text.data() + at, static_cast<uLong>(n), mode);
      out.resize(size);
    } else {
      unsigned size = static_cast<unsigned>(n + n / 100 + 600);
      out.resize(size);
      BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &size,
                               const_cast<char*>(reinterpret_cast<const char*>(text.data() + at)),
                               static_cast<unsigned>(n), mode, 0, 0);
      out.resize(size);
    }
    packed.push_back(std::move(out));
  }
  return packed;
}

size_t total_size(const std::vector<Bytes>& blocks) {
  size_t n = 0;
  for (const Bytes& b : blocks) n += b.size();
  return n;
}

void BM_LibraryCompress(benchmark::State& state) {
  if (!have_corpus(state)) return;
  const auto algorithm = static_cast<uint8_t>(state.range(0));
  const auto mode = static_cast<uint8_t>(state.range(1));
  size_t stored = 0;
  for (auto _ : state) {
    stored = total_size(library_blocks(algorithm, mode));
    benchmark::DoNotOptimize(stored);
  }
  set_counters(state, stored);
}

void BM_LibraryDecompress(benchmark::State& state) {
  if (!have_corpus(state)) return;
  const auto algorithm = static_cast<uint8_t>(state.range(0));
  const auto mode = static_cast<uint8_t>(state.range(1));
  const Bytes& text = corpus();
  const size_t block = static_cast<size_t>(DefaultBlobBlockSize(mode));
  const std::vector<Bytes> packed = library_blocks(algorithm, mode);
  Bytes out(text.size());
  for (auto _ : state) {
    size_t at = 0;
    for (const Bytes& b : packed) {
      const size_t n = std::min(block, text.size() - at);
      if (algorithm == acZLIB) {
        uLongf size = static_cast<uLongf>(n);
        uncompress(out.data() + at, &size, b.data(), static_cast<uLong>(b.size()));
      } else {
        unsigned size = static_cast<unsigned>(n);
        BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(out.data() + at), &size,
                                   const_cast<char*>(reinterpret_cast<const char*>(b.data())),
                                   static_cast<unsigned>(b.size()), 0, 0);
      }
      at += n;
    }
    benchmark::DoNotOptimize(out.data());
  }
  if (out != text) state.SkipWithError("round trip differs");
  set_counters(state, total_size(packed));
}


// ---- through a table ----

constexpr size_t kValueSize = 1 << 20;

std::string table_file() {
  return (std::filesystem::temp_directory_path() / ("dadoveri-bench-" + std::to_string(getpid()) + "-blobs.dat"))
      .string();
}

// Bytes of the pages in use, up to the highest.
int64_t used_bytes(const std::string& file) {
  TABSDiskDatabaseData db(file);
  const int32_t s = db.Connect({});
  const TABSMainHeader& header = db.DiskPageManager().MainHeader();
  const int64_t bytes = (int64_t{header.HighestUsedPageNo()} + 1) * header.PageSize();
  db.Disconnect(s);
  return bytes;
}

// Creates the file with an empty table whose BLOB field compresses as asked; answers the
// bytes in use before any value.
int64_t make_blob_table(const std::string& file, uint8_t algorithm, uint8_t mode) {
  std::filesystem::remove(file);
  TABSDiskDatabaseData db(file);
  db.CreateDatabase();
  const int32_t s = db.Connect({});
  TABSTableMetadata m;
  TABSFieldDef* id = m.Fields.AddFieldDef();
  id->Name = "Id";
  id->SetType(ctInteger, 0);
  TABSFieldDef* body = m.Fields.AddFieldDef();
  body->Name = "Body";
  body->SetType(ctBlob, 0);
  body->BlobCompressionAlgorithm = algorithm;
  body->BlobCompressionMode = mode;
  body->BlobBlockSize = DefaultBlobBlockSize(mode);
  db.CreateTable(s, "Blobs", m);
  db.Disconnect(s);
  return used_bytes(file);
}

TABSConnectOptions fast_options() {
  TABSConnectOptions options;
  options.Exclusive = true;
  options.DurableCommits = false;
  return options;
}

void write_values(const std::string& file) {
  const Bytes& text = corpus();
  TABSDiskDatabaseData db(file);
  TABSBaseSession session(db.Connect(fast_options()));
  {
    TABSLocalCursor cursor(&session, "Blobs");
    cursor.Open(db);
    const TABSRecordLayout& layout = cursor.TableData()->FieldManager().Layout();
    session.InTransaction = true;
    TABSVariant key;
    int32_t n = 0;
    for (size_t at = 0; at < text.size(); at += kValueSize, ++n) {
      cursor.NewRecord();
      key.SetAsInteger(n);
      layout.SetFieldValue(0, key, cursor.CurrentRecord);
      cursor.TableData()->SetBlobValue(session.SessionID, 1, cursor.CurrentRecord, text.data() + at,
                                       static_cast<int64_t>(std::min(kValueSize, text.size() - at)));
      if (cursor.PostInsert() != roOK) throw std::runtime_error("insert failed");
    }
    session.InTransaction = false;
    db.CommitSession(session.SessionID);
  }
  db.Disconnect(session.SessionID);
}

// Reads every value back in storage order; answers the bytes joined.
Bytes read_values(const std::string& file) {
  Bytes all;
  TABSDiskDatabaseData db(file);
  TABSBaseSession session(db.Connect(fast_options()));
  {
    TABSLocalCursor cursor(&session, "Blobs");
    cursor.Open(db);
    std::vector<uint8_t> value;
    cursor.GoToBegin();
    while (cursor.Step(grmNext) == grrFound) {
      cursor.TableData()->GetBlobValue(session.SessionID, 1, cursor.CurrentRecord, value);
      all.insert(all.end(), value.begin(), value.end());
    }
  }
  db.Disconnect(session.SessionID);
  return all;
}

void BM_TableWrite(benchmark::State& state) {
  if (!have_corpus(state)) return;
  const auto algorithm = static_cast<uint8_t>(state.range(0));
  const auto mode = static_cast<uint8_t>(state.range(1));
  const std::string file = table_file();
  int64_t empty = 0;
  for (auto _ : state) {
    state.PauseTiming();
    empty = make_blob_table(file, algorithm, mode);
    state.ResumeTiming();
    write_values(file);
  }
  set_counters(state, static_cast<size_t>(used_bytes(file) - empty));
  std::filesystem::remove(file);
}

void BM_TableRead(benchmark::State& state) {
  if (!have_corpus(state)) return;
  const auto algorithm = static_cast<uint8_t>(state.range(0));
  const auto mode = static_cast<uint8_t>(state.range(1));
  const std::string file = table_file();
  const int64_t empty = make_blob_table(file, algorithm, mode);
  write_values(file);
  Bytes back;
  for (auto _ : state) {
    back = read_values(file);
    benchmark::DoNotOptimize(back.data());
  }
  if (back != corpus()) state.SkipWithError("round trip differs");
  set_counters(state, static_cast<size_t>(used_bytes(file) - empty));
  std::filesystem::remove(file);
}

void stream_cases(benchmark::internal::Benchmark* b) {
  for (int mode : {1, 6, 9}) b->Args({acZLIB, mode});
  b->Args({acBZIP, 9});
  for (int mode : {2, 4, 6}) b->Args({acPPM, mode});
  b->ArgNames({"alg", "mode"})->Unit(benchmark::kMillisecond)->MinTime(2.0);
}

void library_cases(benchmark::internal::Benchmark* b) {
  for (int mode : {1, 6, 9}) b->Args({acZLIB, mode});
  b->Args({acBZIP, 9});
  b->ArgNames({"alg", "mode"})->Unit(benchmark::kMillisecond)->MinTime(2.0);
}

BENCHMARK(BM_StreamCompress)->Apply(stream_cases);
BENCHMARK(BM_LibraryCompress)->Apply(library_cases);
BENCHMARK(BM_StreamDecompress)->Apply(stream_cases);
BENCHMARK(BM_LibraryDecompress)->Apply(library_cases);
BENCHMARK(BM_TableWrite)->Apply(stream_cases);
BENCHMARK(BM_TableRead)->Apply(stream_cases);

}  // namespace
}  // namespace dadoveri

BENCHMARK_MAIN();

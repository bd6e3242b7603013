// The page layer: cached GetPage/PutPage pairs, committed page writes (plain and for each
// cipher), and sequential page reads of a 100 MB database file, plain and encrypted, next
// to plain pread of the same bytes (the physical limit here: the file sits in the
// operating system's cache).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/storage/checksum.h"
#include "engine/storage/disk_page_manager.h"

namespace dadoveri {
namespace {

constexpr int32_t kSession = 0;
constexpr int kBigPages = 100 * 1024 * 1024 / 4096;  // 25600 pages, 100 MB

std::string temp_name(const std::string& stem) {
  return (std::filesystem::temp_directory_path() / ("dadoveri-bench-" + std::to_string(getpid()) + "-" + stem)).string();
}

// Databases made once per process run and removed at exit.
struct Databases {
  ~Databases() {
    for (const auto& [key, name] : files) std::filesystem::remove(name);
  }
  std::map<std::string, std::string> files;
};
Databases& databases() {
  static Databases d;
  return d;
}

TABSPassword password_for(int cipher) {
  return cipher < 0 ? TABSPassword{} : TABSPassword{"41736285", static_cast<uint8_t>(cipher)};
}

std::string cipher_label(int cipher) {
  return cipher < 0 ? std::string("plain") : std::string(CipherName(static_cast<uint8_t>(cipher)));
}

// A database of `pages` data pages (2 … pages + 1) filled with bytes.
const std::string& database(int cipher, int pages) {
  const std::string key = cipher_label(cipher) + "-" + std::to_string(pages);
  auto it = databases().files.find(key);
  if (it != databases().files.end()) return it->second;
  const std::string name = temp_name(key + ".dat");
  TABSDiskPageManager pm(1000);
  pm.CreateDatabase(name, 4096, 8, password_for(cipher));
  for (int done = 0; done < pages;) {
    for (int i = 0; i < 1000 && done < pages; ++i, ++done) {
      TABSPageHandle page = pm.AddPage(kSession, ptTableRecord);
      uint8_t* data = page.MutableData();
      for (uint32_t k = 0; k < page.DataSize(); ++k) data[k] = static_cast<uint8_t>(k * 7 + done);
    }
    pm.CommitPages(kSession);
  }
  pm.CloseDatabase();
  return databases().files[key] = name;
}

std::unique_ptr<TABSDiskPageManager> open_database(int cipher, int pages) {
  auto pm = std::make_unique<TABSDiskPageManager>(1000);
  bool read_only = false, repair = false;
  pm->OpenDatabase(database(cipher, pages), password_for(cipher), read_only, false, false, repair);
  return pm;
}

void BM_CachedGetPutPage(benchmark::State& state) {
  auto pm = open_database(-1, 200);
  int32_t no = 2;
  for (auto _ : state) {
    TABSPageHandle page = pm->GetPage(kSession, no, false, ptTableRecord);
    benchmark::DoNotOptimize(page.Data()[0]);
    page.Release();
    no = no == 201 ? 2 : no + 1;
  }
  state.SetItemsProcessed(state.iterations());
  pm->CloseDatabase();
}
BENCHMARK(BM_CachedGetPutPage);

// Change `batch` cached pages and commit them: the WriteState bracket, the page writes
// (encrypting each page and decrypting it back) and the header.
void BM_CommitPages(benchmark::State& state) {
  const int cipher = static_cast<int>(state.range(0));
  const int batch = static_cast<int>(state.range(1));
  auto pm = open_database(cipher, 200);
  int32_t no = 2;
  for (auto _ : state) {
    for (int i = 0; i < batch; ++i) {
      TABSPageHandle page = pm->GetPage(kSession, no, false, ptTableRecord);
      ++page.MutableData()[100];
      page.Release();
      no = no == 201 ? 2 : no + 1;
    }
    pm->CommitPages(kSession);
  }
  state.SetItemsProcessed(state.iterations() * batch);
  state.SetBytesProcessed(state.iterations() * batch * 4096);
  state.SetLabel(cipher_label(cipher) + ", " + std::to_string(batch) + " pages per commit");
  pm->CloseDatabase();
}
BENCHMARK(BM_CommitPages)
    ->ArgsProduct({{-1, 0, 1, 2, 3, 4, 5, 6, 7}, {1, 64}})
    ->Unit(benchmark::kMicrosecond);

// Every page of the 100 MB file once, in order, through the page cache (capacity 1000, so
// each read is a cache miss: file read, decryption and checksum test).
void BM_SequentialPageReads(benchmark::State& state) {
  const int cipher = static_cast<int>(state.range(0));
  auto pm = open_database(cipher, kBigPages);
  for (auto _ : state) {
    pm->FreeAllPages();
    for (int32_t no = 2; no < kBigPages + 2; ++no) {
      if (pm->IsMapPage(no)) continue;
      TABSPageHandle page = pm->GetPage(kSession, no, false, ptTableRecord);
      benchmark::DoNotOptimize(page.Data()[0]);
    }
  }
  state.SetBytesProcessed(state.iterations() * int64_t{kBigPages} * 4096);
  state.SetLabel(cipher_label(cipher));
  pm->CloseDatabase();
}
BENCHMARK(BM_SequentialPageReads)->Arg(-1)->Arg(0)->Arg(1)->Arg(4)->Arg(3)->Unit(benchmark::kMillisecond);

// The parts of an encrypted page read and write on one 4056-byte data area.
void BM_DataAreaChecksum(benchmark::State& state) {
  std::vector<uint8_t> data(4056, 0x5A);
  for (auto _ : state) benchmark::DoNotOptimize(BufferChecksum(0, data.data(), data.size()));
  state.SetBytesProcessed(state.iterations() * 4056);
}
BENCHMARK(BM_DataAreaChecksum);

void BM_DataAreaCipher(benchmark::State& state) {
  const auto cipher = static_cast<uint8_t>(state.range(0));
  const bool encrypt = state.range(1) != 0;
  std::vector<uint8_t> data(4056, 0x5A);
  for (auto _ : state) {
    if (encrypt)
      EncryptBuffer(cipher, data.data(), data.size(), "41736285");
    else
      DecryptBuffer(cipher, data.data(), data.size(), "41736285");
    benchmark::DoNotOptimize(data[0]);
  }
  state.SetBytesProcessed(state.iterations() * 4056);
  state.SetLabel(std::string(CipherName(cipher)) + (encrypt ? " encrypt" : " decrypt"));
}
BENCHMARK(BM_DataAreaCipher)->ArgsProduct({{0, 1, 2, 3, 4, 5, 6, 7}, {1, 0}});

// The same bytes with pread, 4096 at a time: the physical limit for the reads above.
void BM_SequentialPread(benchmark::State& state) {
  const std::string& name = database(-1, kBigPages);
  const int fd = ::open(name.c_str(), O_RDONLY);
  std::vector<uint8_t> buffer(4096);
  for (auto _ : state) {
    for (int64_t no = 0; no < kBigPages + 2; ++no) {
      if (::pread(fd, buffer.data(), 4096, 380 + no * 4096) != 4096) break;
      benchmark::DoNotOptimize(buffer[0]);
    }
  }
  ::close(fd);
  state.SetBytesProcessed(state.iterations() * int64_t{kBigPages} * 4096);
}
BENCHMARK(BM_SequentialPread)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace dadoveri

BENCHMARK_MAIN();

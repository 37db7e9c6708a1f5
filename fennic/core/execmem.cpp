#include "fennic/core/execmem.h"

#include <cstring>

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <new>
#include <utility>

namespace fennic {

// One memory object mapped twice. The record lives on the heap, not in the
// shared memory: a forked child must not change its parent's bookkeeping.
struct ExecutableBlock::TChunk {
  std::uint8_t* Write = nullptr;  // read+write view
  std::uint8_t* Code = nullptr;   // read+execute view
  std::size_t Bytes = 0;          // length of each view
  std::size_t Used = 0;           // bytes handed out; an offset is handed out once
  std::size_t Live = 0;           // blocks not yet released
  bool Retired = false;           // hands out nothing more; unmapped with its last block
};

namespace {

using TChunk = ExecutableBlock::TChunk;

constexpr std::size_t kChunkBytes = 32 * 1024;
constexpr std::size_t kAlign = 16;  // every routine starts on a 16-byte boundary

std::size_t PageSize() {
  static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

std::size_t RoundUp(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

class TCodePool {
 public:
  // Never destroyed: blocks held by static objects are released after
  // every ordinary destructor has run.
  static TCodePool& Instance() {
    static TCodePool* pool = new TCodePool;
    return *pool;
  }

  // A chunk with `size` bytes reserved at `offset`, or nullptr when the
  // system gives no double mapping (the caller then maps the block itself).
  TChunk* Take(std::size_t size, std::size_t& offset) {
    std::lock_guard<std::mutex> lock(FMutex);
    if (FUnavailable) return nullptr;
    const std::size_t need = RoundUp(size == 0 ? 1 : size, kAlign);
    if (need > kChunkBytes / 4) {
      // A large routine gets a chunk of its own, retired at once.
      TChunk* own = MakeChunk(RoundUp(need, PageSize()));
      if (!own) return nullptr;
      own->Retired = true;
      return Hand(own, need, offset);
    }
    if (!FCurrent || FCurrent->Bytes - FCurrent->Used < need) {
      TChunk* fresh = MakeChunk(kChunkBytes);
      if (!fresh) return nullptr;
      if (FCurrent) Retire(FCurrent);
      FCurrent = fresh;
    }
    return Hand(FCurrent, need, offset);
  }

  void Give(TChunk* chunk) {
    std::lock_guard<std::mutex> lock(FMutex);
    if (--chunk->Live == 0 && chunk->Retired) Unmap(chunk);
  }

 private:
  TCodePool() {
    // A forked child shares the chunks' memory with its parent: it must
    // not write where the parent will, so it starts a chunk of its own.
    pthread_atfork([] { Instance().FMutex.lock(); }, [] { Instance().FMutex.unlock(); },
                   [] {
                     TCodePool& pool = Instance();
                     if (pool.FCurrent) pool.Retire(pool.FCurrent);
                     pool.FCurrent = nullptr;
                     pool.FMutex.unlock();
                   });
  }

  static TChunk* Hand(TChunk* chunk, std::size_t need, std::size_t& offset) {
    offset = chunk->Used;
    chunk->Used += need;
    ++chunk->Live;
    return chunk;
  }

  TChunk* MakeChunk(std::size_t bytes) {
    const int fd = memfd_create("fennic-code", MFD_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOSYS || errno == EPERM || errno == EACCES || errno == EINVAL) FUnavailable = true;
      return nullptr;
    }
    void* code = MAP_FAILED;
    void* write = MAP_FAILED;
    if (ftruncate(fd, static_cast<off_t>(bytes)) == 0) {
      code = mmap(nullptr, bytes, PROT_READ | PROT_EXEC, MAP_SHARED | MAP_POPULATE, fd, 0);
      if (code == MAP_FAILED && (errno == EPERM || errno == EACCES)) FUnavailable = true;
      if (code != MAP_FAILED)
        write = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
    }
    close(fd);
    TChunk* chunk = nullptr;
    if (write != MAP_FAILED) chunk = new (std::nothrow) TChunk;
    if (!chunk) {
      if (code != MAP_FAILED) munmap(code, bytes);
      if (write != MAP_FAILED) munmap(write, bytes);
      return nullptr;
    }
    chunk->Write = static_cast<std::uint8_t*>(write);
    chunk->Code = static_cast<std::uint8_t*>(code);
    chunk->Bytes = bytes;
    return chunk;
  }

  void Retire(TChunk* chunk) {
    chunk->Retired = true;
    if (chunk->Live == 0) Unmap(chunk);
  }

  void Unmap(TChunk* chunk) {
    if (chunk == FCurrent) FCurrent = nullptr;
    munmap(chunk->Write, chunk->Bytes);
    munmap(chunk->Code, chunk->Bytes);
    delete chunk;
  }

  std::mutex FMutex;
  TChunk* FCurrent = nullptr;
  bool FUnavailable = false;
};

}  // namespace

ExecutableBlock::ExecutableBlock(std::size_t size) : FSize(size) {
  std::size_t offset = 0;
  FChunk = TCodePool::Instance().Take(size, offset);
  if (FChunk) {
    FWrite = FChunk->Write + offset;
    FCode = FChunk->Code + offset;
    return;
  }
  const std::size_t page = PageSize();
  FMapped = (size == 0 ? 1 : (size + page - 1) / page) * page;
  void* p = mmap(nullptr, FMapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  FWrite = FCode = static_cast<std::uint8_t*>(p);
}

ExecutableBlock::~ExecutableBlock() { Release(); }

ExecutableBlock::ExecutableBlock(ExecutableBlock&& other) noexcept
    : FChunk(std::exchange(other.FChunk, nullptr)),
      FWrite(std::exchange(other.FWrite, nullptr)),
      FCode(std::exchange(other.FCode, nullptr)),
      FSize(std::exchange(other.FSize, 0)),
      FMapped(std::exchange(other.FMapped, 0)),
      FExecutable(std::exchange(other.FExecutable, false)) {}

ExecutableBlock& ExecutableBlock::operator=(ExecutableBlock&& other) noexcept {
  if (this != &other) {
    Release();
    FChunk = std::exchange(other.FChunk, nullptr);
    FWrite = std::exchange(other.FWrite, nullptr);
    FCode = std::exchange(other.FCode, nullptr);
    FSize = std::exchange(other.FSize, 0);
    FMapped = std::exchange(other.FMapped, 0);
    FExecutable = std::exchange(other.FExecutable, false);
  }
  return *this;
}

void ExecutableBlock::Protect() {
  if (!FCode || FExecutable) return;
  if (!FChunk && mprotect(FCode, FMapped, PROT_READ | PROT_EXEC) != 0) throw std::bad_alloc();
  FExecutable = true;
}

void ExecutableBlock::Release() {
  if (FChunk)
    TCodePool::Instance().Give(FChunk);
  else if (FCode)
    munmap(FCode, FMapped);
  FChunk = nullptr;
  FWrite = FCode = nullptr;
  FSize = FMapped = 0;
  FExecutable = false;
}

ExecutableBlock ExecutableBlock::WithCode(const std::uint8_t* Code, std::size_t Size) {
  ExecutableBlock block(Size);
  if (Size > 0) std::memcpy(block.Data(), Code, Size);
  block.Protect();
  return block;
}

}  // namespace fennic

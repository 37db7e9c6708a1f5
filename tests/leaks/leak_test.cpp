// Resources of compilations: every heap block and every memory mapping a
// compilation takes is given back, whatever the compilation's outcome, and no
// mapping is ever writable and executable.
//
// This program replaces the global allocation functions with counting ones,
// so that live heap blocks can be counted without a leak checker.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "fennic/fennic.h"
#include "support/expr_gen.h"

namespace {

std::atomic<long> gLiveBlocks{0};

void* Allocate(std::size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  gLiveBlocks.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void* AllocateAligned(std::size_t size, std::align_val_t align) {
  const auto a = static_cast<std::size_t>(align);
  void* p = std::aligned_alloc(a, (size + a - 1) / a * a);
  if (!p) throw std::bad_alloc();
  gLiveBlocks.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void Release(void* p) noexcept {
  if (!p) return;
  gLiveBlocks.fetch_sub(1, std::memory_order_relaxed);
  std::free(p);
}

}  // namespace

void* operator new(std::size_t n) { return Allocate(n); }
void* operator new[](std::size_t n) { return Allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return Allocate(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void* operator new(std::size_t n, std::align_val_t a) { return AllocateAligned(n, a); }
void* operator new[](std::size_t n, std::align_val_t a) { return AllocateAligned(n, a); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete(void* p, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { Release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { Release(p); }

namespace fennic::testing {
namespace {

struct TMapping {
  std::string Perms;
  std::string Path;
};

std::vector<TMapping> Mappings() {
  std::vector<TMapping> out;
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    TMapping m;
    std::size_t at = line.find(' ');
    m.Perms = line.substr(at + 1, 4);
    // address perms offset dev inode [path]
    std::size_t fields = 0;
    for (std::size_t i = 0; i < line.size() && fields < 5; ++i)
      if (line[i] == ' ' && i + 1 < line.size() && line[i + 1] != ' ') {
        ++fields;
        at = i + 1;
      }
    if (fields == 5) m.Path = line.substr(at);
    out.push_back(m);
  }
  return out;
}

// Mappings whose number must return: every one in a plain build. An address
// sanitizer keeps freed blocks in quarantine and maps more arenas for them,
// so there only the anonymous executable mappings count: the code pages.
long CountedMappings() {
  long n = 0;
  for (const TMapping& m : Mappings()) {
#if defined(__SANITIZE_ADDRESS__)
    if (m.Perms.size() < 3 || m.Perms[2] != 'x' || !m.Path.empty()) continue;
#else
    (void)m;
#endif
    ++n;
  }
  return n;
}

bool AnyWritableAndExecutable() {
  for (const TMapping& m : Mappings())
    if (m.Perms.size() >= 3 && m.Perms[1] == 'w' && m.Perms[2] == 'x') return true;
  return false;
}

// Texts with every outcome: compiled, rejected, refused, deep, long.
std::vector<std::string> Texts(const VariablePool& pool, std::uint32_t seed, int count) {
  ExpressionGenerator gen(pool, seed);
  std::vector<std::string> texts = {
      "",  "(", "1+", "x y", "u8a*", "unknown+1", "i8a/0", "1e5000", "((((f64a))))",
      std::string(3000, '(') + "1" + std::string(3000, ')'),
      gen.Balanced(9, true),
  };
  std::string chain = "f80a";
  for (int i = 0; i < 2000; ++i) chain += i % 2 ? "+i64a" : "-f32b";
  texts.push_back(chain);
  GenOptions o;
  for (int i = 0; i < count; ++i) {
    // Every other text in the extended grammar, with its conditionals.
    o.Extended = i % 2 != 0;
    texts.push_back(gen.Next(o));
  }
  return texts;
}

// Compiles and runs every text under several settings, with components that
// live across many compilations and components made for a single one.
void Workload(const VariablePool& pool, const std::vector<std::string>& texts) {
  TComponent owner(nullptr);
  auto* kept = new TFennic(&owner);  // freed with its owner
  pool.RegisterAll(*kept);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    kept->SetAlignMode(i % 2);
    kept->SetBackOperation(i % 3 != 0);
    kept->SetOutOfOrder(i % 3);
    kept->SetGrammar(i % 4 < 2 ? grExtended : grStandart);
    kept->SetExprString(texts[i]);
    if (kept->CompError() == eNone) kept->Evaluate();
    if (i % 100 == 0) {
      // A fault while the constants of a sum are added leaves Compile as an
      // exception when the control word unmasks it.
      std::uint16_t saved, unmasked;
      asm volatile("fnstcw %0" : "=m"(saved));
      unmasked = saved & ~0x08;  // overflow
      asm volatile("fnclex\n\tfldcw %0" : : "m"(unmasked));  // no flag raised before unmasking
      try {
        kept->SetExprString("1e4932+1e4932+f64a");
      } catch (const std::exception&) {
      }
      asm volatile("fnclex\n\tfldcw %0" : : "m"(saved));
    }
    if (i % 10 == 0) {
      TFennic once(nullptr);
      pool.RegisterAll(once);
      once.SetSmartLoad(i % 20 == 0);
      once.SetGrammar(grExtended);
      once.SetExprString(texts[i]);
      if (once.CompError() == eNone) once.Evaluate();
    }
  }
}

TEST(Resources, CompilationsReturnEveryBlockAndMapping) {
  VariablePool pool;
  const std::vector<std::string> texts = Texts(pool, 7, 2500);
  // The first round sets up what lives for the whole process (the shared
  // one-byte routine, the number conversion's locale, the test framework's
  // own state).
  Workload(pool, texts);
  const long blocks = gLiveBlocks.load();
  const long mappings = CountedMappings();
  Workload(pool, texts);
  Workload(pool, texts);
  EXPECT_EQ(gLiveBlocks.load(), blocks);
  EXPECT_EQ(CountedMappings(), mappings);
}

TEST(Resources, NoMappingIsWritableAndExecutable) {
  VariablePool pool;
  std::vector<TFennic*> alive;
  TComponent owner(nullptr);
  const std::vector<std::string> texts = Texts(pool, 11, 50);
  for (const std::string& text : texts) {
    auto* f = new TFennic(&owner);
    pool.RegisterAll(*f);
    f->SetExprString(text);
    alive.push_back(f);
    ASSERT_FALSE(AnyWritableAndExecutable()) << "after compiling " << text.substr(0, 60);
  }
  for (TFennic* f : alive)
    if (f->CompError() == eNone) f->Evaluate();
  EXPECT_FALSE(AnyWritableAndExecutable());
}

}  // namespace
}  // namespace fennic::testing

// Code memory: blocks run what was written into them, never share bytes,
// never hand out an address twice while it may hold cached code, return
// their mappings, and no mapping is ever writable and executable.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fennic/core/execmem.h"

namespace fennic {
namespace {

struct TMapping {
  std::uintptr_t Lo = 0, Hi = 0;
  std::string Perms, Path;
};

std::vector<TMapping> Mappings() {
  std::vector<TMapping> out;
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    std::istringstream in(line);
    std::string range, offset, dev, inode;
    TMapping m;
    in >> range >> m.Perms >> offset >> dev >> inode;
    std::getline(in >> std::ws, m.Path);
    m.Lo = std::stoul(range.substr(0, range.find('-')), nullptr, 16);
    m.Hi = std::stoul(range.substr(range.find('-') + 1), nullptr, 16);
    out.push_back(m);
  }
  return out;
}

const TMapping* MappingOf(const std::vector<TMapping>& maps, const void* p) {
  const auto a = reinterpret_cast<std::uintptr_t>(p);
  for (const TMapping& m : maps)
    if (a >= m.Lo && a < m.Hi) return &m;
  return nullptr;
}

bool AnyWritableAndExecutable() {
  for (const TMapping& m : Mappings())
    if (m.Perms[1] == 'w' && m.Perms[2] == 'x') return true;
  return false;
}

long CodeMappings() {
  long n = 0;
  for (const TMapping& m : Mappings()) n += m.Path.find("fennic-code") != std::string::npos;
  return n;
}

// MOV EAX, value; RET, padded with INT3 to `size` bytes.
std::unique_ptr<ExecutableBlock> Routine(std::size_t size, std::int32_t value) {
  auto block = std::make_unique<ExecutableBlock>(size);
  std::uint8_t* p = block->Data();
  std::memset(p, 0xCC, size);
  p[0] = 0xB8;
  std::memcpy(p + 1, &value, 4);
  p[5] = 0xC3;
  block->Protect();
  return block;
}

std::int32_t Call(const ExecutableBlock& b) {
  return reinterpret_cast<std::int32_t (*)()>(b.Data())();
}

bool Pooled() {
  ExecutableBlock probe(16);
  return probe.Data() != probe.Address();
}

TEST(ExecutableBlock, BlocksOfEverySizeRunTheirOwnCodeWithoutOverlap) {
  std::vector<std::unique_ptr<ExecutableBlock>> blocks;
  const std::size_t sizes[] = {6, 7, 16, 17, 100, 4095, 4096, 9000, 40000};
  for (int i = 0; i < 300; ++i) blocks.push_back(Routine(sizes[i % 9], i));
  std::vector<std::pair<const std::uint8_t*, std::size_t>> spans;
  for (int i = 0; i < 300; ++i) {
    const ExecutableBlock& b = *blocks[i];
    ASSERT_TRUE(b.Executable());
    EXPECT_EQ(b.Data(), b.Address());
    EXPECT_EQ(b.Size(), sizes[i % 9]);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.Address()) % 16, 0u);
    EXPECT_EQ(Call(b), i);
    spans.emplace_back(b.Address(), b.Size());
  }
  std::sort(spans.begin(), spans.end());
  for (std::size_t i = 1; i < spans.size(); ++i)
    EXPECT_LE(spans[i - 1].first + spans[i - 1].second, spans[i].first);
  const std::vector<TMapping> maps = Mappings();
  for (const auto& b : blocks) EXPECT_EQ(MappingOf(maps, b->Address())->Perms.substr(0, 3), "r-x");
  EXPECT_FALSE(AnyWritableAndExecutable());
}

TEST(ExecutableBlock, WritableUntilProtectedAndMovable) {
  ExecutableBlock b(8);
  EXPECT_EQ(MappingOf(Mappings(), b.Data())->Perms.substr(0, 2), "rw");
  EXPECT_FALSE(b.Executable());
  ExecutableBlock moved(std::move(b));
  EXPECT_EQ(b.Data(), nullptr);
  EXPECT_EQ(b.Size(), 0u);
  const std::uint8_t code[] = {0xB8, 42, 0, 0, 0, 0xC3};
  std::memcpy(moved.Data(), code, sizeof code);
  moved.Protect();
  ExecutableBlock assigned;
  assigned = std::move(moved);
  EXPECT_EQ(Call(assigned), 42);
  EXPECT_FALSE(AnyWritableAndExecutable());
}

TEST(ExecutableBlock, AnAddressIsNotHandedOutAgainWhileItsChunkLives) {
  if (!Pooled()) GTEST_SKIP() << "no double mapping here: blocks are mappings of their own";
  // The neighbours keep the released block's chunk alive.
  auto before = Routine(16, 1);
  auto released = Routine(16, 2);
  auto after = Routine(16, 3);
  const std::uint8_t* address = released->Address();
  released.reset();
  for (int i = 0; i < 200; ++i) {
    auto b = Routine(16, i);
    ASSERT_NE(b->Address(), address);
    ASSERT_EQ(Call(*b), i) << "stale code ran";
  }
}

TEST(ExecutableBlock, ReleasedChunksReturnTheirMappings) {
  auto round = [] {
    std::vector<std::unique_ptr<ExecutableBlock>> blocks;
    for (int i = 0; i < 3000; ++i) blocks.push_back(Routine(64, i));
    for (int i = 0; i < 3000; i += 499) EXPECT_EQ(Call(*blocks[i]), i);
  };
  round();
  const long after = CodeMappings();
  round();
  round();
  EXPECT_EQ(CodeMappings(), after);
  EXPECT_LE(after, 2 + 4) << "the current chunk and a few pinned ones at most";
}

TEST(ExecutableBlock, AForkedChildWritesOnlyIntoChunksOfItsOwn) {
  auto parent = Routine(16, 5);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto b = Routine(16, 6);
    const std::vector<TMapping> maps = Mappings();
    const bool apart = MappingOf(maps, b->Address()) != MappingOf(maps, parent->Address());
    _exit(apart && Call(*b) == 6 && Call(*parent) == 5 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  auto after = Routine(16, 7);
  EXPECT_EQ(Call(*parent), 5);
  EXPECT_EQ(Call(*after), 7);
}

}  // namespace
}  // namespace fennic

// A builder with its stages opened up, and a shorthand for coded text.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>

#include "fennic/builder/tree.h"
#include "fennic/builder/treeprint.h"
#include "fennic/core/codedtext.h"

namespace fennic::test {

class TTestBuilder : public TBuilder {
 public:
  TTestBuilder() : TBuilder(nullptr) {}

  using TBuilder::BigTree;
  using TBuilder::Build;
  using TBuilder::BuildNumbers;
  using TBuilder::BuildSimplified;
  using TBuilder::BuildTree;
  using TBuilder::CalcMinuses;
  using TBuilder::FCallArgs;
  using TBuilder::FWalks;
  using TBuilder::FBase16;
  using TBuilder::FBase4;
  using TBuilder::FBase8;
  using TBuilder::FCompError;
  using TBuilder::PoolLayout;
  using TBuilder::PoolSlackSize;
  using TBuilder::ReleaseTrees;
  using TBuilder::FConstBytes;
  using TBuilder::FConstCopy;
  using TBuilder::FConstData;
  using TBuilder::FConstIndex;
  using TBuilder::FConstSizes;
  using TBuilder::FDoubles;
  using TBuilder::FExtendeds;
  using TBuilder::FLevel;
  using TBuilder::FParNodes;
  using TBuilder::FPoolPad;
  using TBuilder::FSingles;
  using TBuilder::FTopLevel;
  using TBuilder::FTrees;
  using TBuilder::FuncStackUsage;
  using TBuilder::ParameterNeeds;
  using TBuilder::SearchDouble;
  using TBuilder::SearchExt;
  using TBuilder::SearchSingle;
  using TBuilder::StackUsage;

  // Records a constant in the table as the simplifier would. The table is
  // kept aside too, since the pool takes the place of the table's bytes.
  void AddRaw(const void* Bytes, std::uint8_t Width) {
    const auto* b = static_cast<const std::uint8_t*>(Bytes);
    TableData.insert(TableData.end(), b, b + Width);
    TableSizes.push_back(Width);
    LoadTable();
  }
  void AddSingle(float V) { AddRaw(&V, 4); }
  void AddDouble(double V) { AddRaw(&V, 8); }
  void AddExt(long double V) { AddRaw(&V, 10); }
  void ClearConsts() {
    TableData.clear();
    TableSizes.clear();
    LoadTable();
  }
  void LoadTable() {
    FConstData = TableData;
    FConstSizes = TableSizes;
  }

  // Coded text from a readable form: a registered name becomes its
  // function or variable token, "#" a table constant, "$<digits>" (with an
  // optional "-") an inline vtInt32 constant, "&name" the bare name of a
  // by-reference argument; every other character stands for itself.
  std::string Coded(std::string_view Src) const {
    std::string out;
    for (std::size_t i = 0; i < Src.size();) {
      char c = Src[i];
      if (c == '#') {
        out += ConstMarker;
        ++i;
      } else if (c == '$') {
        std::size_t end = i + 1;
        if (end < Src.size() && Src[end] == '-') ++end;
        while (end < Src.size() && Src[end] >= '0' && Src[end] <= '9') ++end;
        std::int64_t value = std::stoll(std::string(Src.substr(i + 1, end - i - 1)));
        out += ConstMarker;
        out += static_cast<char>(vtInt32);
        char bytes[8];
        std::memcpy(bytes, &value, 8);
        out.append(bytes, 8);
        i = end;
      } else if (c == '&') {
        std::size_t end = ++i;
        out += ReadIdent(Src, end);
        i = end;
      } else if (std::size_t end = i; !ReadIdent(Src, end).empty()) {
        std::string name(Src.substr(i, end - i));
        if (std::int32_t f = FuncCode(name)) out += MarkerWithCode(FuncMarker, f);
        else out += MarkerWithCode(VarMarker, VarCode(name));
        i = end;
      } else {
        out += c;
        ++i;
      }
    }
    return out;
  }

  // Runs the stages after simplification on coded text, with the table as recorded.
  void RunCoded(std::string_view Text) {
    LoadTable();
    BuildSimplified(Text);
  }
  // The same on readable coded text.
  void Run(std::string_view Src) { RunCoded(Coded(Src)); }

  std::vector<std::uint8_t> TableData;
  std::vector<std::uint8_t> TableSizes;

  std::string Trees(bool Labels = false) const { return PrintTrees(FTrees, FParNodes, FCallArgs, Labels); }
  std::string Tree0(bool Labels = false) const {
    return FTrees.empty() ? std::string("<none>") : PrintTree(FTrees[0], FCallArgs, Labels);
  }
};

}  // namespace fennic::test

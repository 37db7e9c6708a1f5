// Compact text form of expression trees, for tests and diagnostics.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "fennic/builder/tree.h"

namespace fennic {

// Operators print infix in brackets: ((v1-v2)+v3). Leaves: v<code> for a
// variable; s@<offset>, d@<offset>, e@<offset> for a single, double or
// extended pool constant; #<value> for an integer argument constant;
// f<code> for a call, followed by its arguments from Args (the builder's
// call argument list) in brackets as t<tree>, p<parameter node> or
// &v<code> for a by-reference variable ("?" when Args does not hold
// them); c<index> for a common value. A leading "-" is the node's Minus. With Labels each node is
// followed by [Need/Usage] and "!" when Flushed.
std::string PrintTree(const TTreeNode* Node, std::span<const TCallArg> Args = {}, bool Labels = false);

// Every tree and parameter node, one a line: "T0: ...", "P0: ...".
std::string PrintTrees(const std::vector<TTreeNode*>& Trees, const std::vector<TTreeNode*>& ParNodes,
                       std::span<const TCallArg> Args, bool Labels = false);

}  // namespace fennic

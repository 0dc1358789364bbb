// SwNodes: the system's one tree type and the values its nodes carry.
//
// TSwTreeNode is a named node with a property bag (TSwProperties of TSwProperty, each holding a
// TSwValue), its own listeners, a parent and ordered children. Model descriptions, script parse
// trees and modelling results are all trees of it. Nodes are named by paths ("a\b[1]\c$start"):
// TSwTreeNode::FirstOnPath finds the first match, TSwNodeFinder and its formula-evaluating
// descendants enumerate every match or create the nodes a path names. The parts are in
// SwValues.h, SwTreeNode.h and SwNodeFinder.h; this header brings them all.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "SwCore.h"
#include "SwHashes.h"
#include "SwNodeFinder.h"
#include "SwTreeNode.h"
#include "SwValues.h"

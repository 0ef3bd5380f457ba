#pragma once
// A picture of the parts of a machine that Instelix may touch: registry values under the keys it uses (each view
// named), files under its paths (size, attributes, file version, and the text of small text files), and the count
// of present virtual HID devices. Two pictures compared give what a run changed.

#include <map>
#include <string>
#include <vector>

namespace harness
{
// Entry name -> description, e.g. "HKLM\SOFTWARE\Tesmar\Tesmar Settings [64-bit view]: StartStatus1" -> "REG_DWORD 1".
using Snapshot = std::map<std::string, std::string>;

Snapshot TakeSnapshot();

// One line per difference: "+ name: now", "- name: before", "~ name: before -> now", in name order.
std::vector<std::string> CompareSnapshots(const Snapshot& before, const Snapshot& after);

std::string SnapshotToText(const Snapshot& snapshot);
Snapshot SnapshotFromText(const std::string& text);
}  // namespace harness

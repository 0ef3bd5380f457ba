#pragma once
// What Instelix may touch on a machine, as named entries: registry values under the keys it uses, files under its
// paths, the present virtual HID devices and the suite's running programs. One notation serves three purposes: a
// picture of the machine ("name" -> "description"), the differences between two pictures, and a wanted state that
// Apply() sets up.
//   HKLM\SOFTWARE\Tesmar\Tesmar Settings [64-bit view]: StartStatus1   REG_DWORD 1   (views named on 64-bit Windows)
//   HKLM\SOFTWARE\Tesmar\TesmarUtility [32-bit view]                   key
//   C:\Windows\System32\drivers\AcpiQrx.sys                            version 1.2.3.4
//   C:\ProgramData\tmspr_prof.cfg                                      text: [ConfigParam]|InitWait=1|
//   virtual HID devices present                                        2
//   running Settings.exe                                               1
#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace machine
{
using Snapshot = std::map<std::string, std::string>;

bool IsWin64();
// "C:\Program Files (x86)" on 64-bit Windows, "C:\Program Files" on 32-bit Windows (`other`: the one not used).
std::string ProgramFiles(bool other = false);

Snapshot TakeSnapshot();
// One line per difference, in name order: "+ name: now", "- name: before", "~ name: before -> now".
std::vector<std::string> CompareSnapshots(const Snapshot& before, const Snapshot& after);
std::string SnapshotToText(const Snapshot& snapshot);

// Makes one entry true. Beyond what a picture shows, a file may be "absent", a "folder", "standin" (a copy of the
// stand-in program), "version a.b.c.d" (the stand-in program with that file version), "library NAME" (a copy of a
// stand-in library) or "text: ..."; a registry value "absent" or "type N, bytes: hex...". Stand-ins are taken from
// `standins`. False when the entry cannot be set.
bool Apply(const std::string& name, const std::string& description, const std::wstring& standins);
// Removes everything a picture covers: the suite's keys and files, the devices and the running suite programs.
void Reset();

std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& text);
std::string ReadBytes(const std::wstring& path);
bool WriteBytes(const std::wstring& path, const std::string& bytes);
void MakeDirs(const std::wstring& path);
void RemoveTree(const std::wstring& path);
}  // namespace machine

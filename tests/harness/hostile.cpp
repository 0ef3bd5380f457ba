#include "harness/hostile.h"

#include <shellapi.h>
#include <sddl.h>

#include <stdio.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "harness/snapshot.h"
#include "harness/support.h"

namespace harness
{
namespace
{
constexpr size_t kCommandLineLimit = 32766;  // CreateProcessW's limit, without the terminator
constexpr size_t kRowFViewWait = 10;         // waits for the desktop shell: never generated
constexpr int kRowQmx = 13;                  // the only row whose forms may stand anywhere inside an argument

// In a clean machine the driver, service, toast and reading-mode chores find nothing to work with and end with 0;
// the rotation switches have no system setting to change and still report 1; the watch finds no settings key.
const struct
{
    const wchar_t* forms[4];
    int endsWith;  // exit code of the ending chore; -1: the walk goes on
} kModel[16] = {
    {{L"/POP", L"/pop", L"-POP", L"-pop"}, 0},
    {{L"/UPDATEDRIVER", L"UPDATEDRIVER", L"-UPDATEDRIVER"}, 0},
    {{L"/DELETEDRIVERBYSETTINGS", L"DELETEDRIVERBYSETTINGS", L"-DELETEDRIVERBYSETTINGS"}, 0},
    {{L"/FLYDRIVER", L"/flydriver", L"-FLYDRIVER", L"-flydriver"}, 0},
    {{L"/INSTALLSVR", L"/installsvr", L"-INSTALLSVR", L"-installsvr"}, 0},
    {{L"/PHONECOMPANION", L"-PHONECOMPANION"}, -1},
    {{L"/setrotationopen", L"/SETROTATIONOPEN", L"-setrotationopen", L"-SETROTATIONOPEN"}, 1},
    {{L"/setrotationclose", L"/SETROTATIONCLOSE", L"-setrotationclose", L"-SETROTATIONCLOSE"}, 1},
    {{L"/fviewon", L"/FVIEWON", L"-fviewon", L"-FVIEWON"}, 0},
    {{L"/fviewget", L"/FVIEWGET", L"-fviewget", L"-FVIEWGET"}, 0},
    {{L"/fviewwait", L"/FVIEWWAIT", L"-fviewwait", L"-FVIEWWAIT"}, 0},
    {{L"/fviewoff", L"/FVIEWOFF", L"-fviewoff", L"-FVIEWOFF"}, 0},
    {{L"/issupportfview", L"/ISSUPPORTFVIEW", L"-issupportfview", L"-ISSUPPORTFVIEW"}, 0},
    {{L"/qmx", L"-qmx", L"/QMX", L"-QMX"}, -1},
    {{L"/closesettings", L"/CLOSESETTINGS", L"-closesettings", L"-CLOSESETTINGS"}, -1},
    {{L"/rotationreg", L"/ROTATIONREG", L"-rotationreg", L"-ROTATIONREG"}, 0},
};

int ModelRowFor(const std::wstring& argument)
{
    for (int row = 0; row < 16; ++row)
    {
        for (const wchar_t* form : kModel[row].forms)
        {
            if (form != nullptr && (row == kRowQmx ? argument.find(form) != std::wstring::npos : argument == form))
                return row;
        }
    }
    return -1;
}

std::wstring JoinCommandLine(const std::vector<std::wstring>& arguments)
{
    // Element 0 follows the program-name rule: it ends at the next quote or blank, with no escapes.
    const std::wstring& name = arguments[0];
    std::wstring line = name.empty() || name.find_first_of(L" \t") != std::wstring::npos ? L"\"" + name + L"\"" : name;
    for (size_t i = 1; i < arguments.size(); ++i)
        line += L" " + QuoteArgument(arguments[i]);
    return line;
}

const wchar_t* const kAffixes[] = {L":",      L":1",     L"=1",     L" ",      L"\t", L"\u00A0", L"\u200B", L"\u0301",
                                   L"\uFEFF", L"\xD800", L"\xDC00", L"\"",     L"\\", L"x",      L"/",      L"-",
                                   L"\u2215", L"\uFF0F", L"\u2212", L"\u2010", L"//", L"--",     L"\r\n",   L"\x1B"};
const wchar_t kOddUnits[] = {L' ',   L'\t',  L'"',   L'\\',  L'\r',  L'\n',  L'\v',  0x0001, 0x001B, 0x007F,
                             0x0085, 0x00A0, 0x0301, 0x200B, 0x2028, 0x202E, 0x3000, 0xFEFF, 0xFFFE, 0xFFFF};
// Printable ASCII half the time, else lone surrogates (high or low), other text of the basic plane, private use.
const wchar_t kUnitFrom[] = {0x21, 0x21, 0x21, 0x21, 0x21, 0xD800, 0x80, 0xE000};
const size_t kUnitSpan[] = {0x5E, 0x5E, 0x5E, 0x5E, 0x5E, 0x800, 0xD780, 0x2000};

// Each kind aims at other faults of the split or the match.
enum Kind
{
    NearMisses,
    Quoting,
    NonAscii,
    LongArgument,
    ManyArguments,
    BuriedQmx,
    kKinds,
};
const char* const kKindNames[kKinds] = {"near-miss switches", "quotes and backslashes", "non-ASCII and lone surrogates",
                                        "one long argument",  "thousands of arguments", "-qmx buried in long text"};

class Generator
{
public:
    explicit Generator(uint32_t seed) : rng_(seed) {}

    HostileLine Line(size_t index)
    {
        HostileLine line;
        const Kind kind = static_cast<Kind>(index % kKinds);
        line.kind = kKindNames[kind];
        do
        {
            line.intended = Arguments(kind);
            // The program name ends at the next quote whatever precedes it.
            std::wstring& name = line.intended[0];
            name.erase(std::remove(name.begin(), name.end(), L'"'), name.end());
            Fit(line.intended);
            // Bends what would wait for the shell, or make the usage-mode chore write the profile (its words
            // "wait", "mv", "mu", "nor" and "ph" each hold one of w, v, u, o and h), just enough to do neither.
            for (std::wstring& argument : line.intended)
            {
                if (ModelRowFor(argument) == static_cast<int>(kRowFViewWait))
                    argument += L"!";
                if (ModelRowFor(argument) == kRowQmx)
                    std::replace_if(
                        argument.begin(), argument.end(), [](wchar_t c) { return wcschr(L"wvuohWVUOH", c) != nullptr; },
                        L'_');
            }
            line.text = JoinCommandLine(line.intended);
        } while (line.text.size() > kCommandLineLimit);
        return line;
    }

private:
    size_t Pick(size_t n) { return n == 0 ? 0 : rng_() % n; }
    bool Chance(unsigned percent) { return Pick(100) < percent; }
    template <class T, size_t N> const T& OneOf(const T (&items)[N])
    {
        return items[Pick(N)];
    }

    wchar_t Unit()
    {
        const size_t range = Pick(9);
        return range == 8 ? OneOf(kOddUnits) : static_cast<wchar_t>(kUnitFrom[range] + Pick(kUnitSpan[range]));
    }

    // `plain` text is left as it is by QuoteArgument, so its length on the line is known.
    std::wstring Text(size_t length, bool plain = false)
    {
        std::wstring text;
        while (text.size() < length)
        {
            const wchar_t c = Unit();
            if (Chance(3) && text.size() + 1 < length)
                text += L"\U0001F600";  // a proper surrogate pair among the lone ones
            else if (!plain || wcschr(L" \t\n\v\"\\", c) == nullptr)
                text += c;
        }
        return text;
    }

    std::wstring Form()
    {
        for (;;)
        {
            const size_t row = Pick(16);
            const wchar_t* form = kModel[row].forms[Pick(4)];
            if (row != kRowFViewWait && form != nullptr)
                return form;
        }
    }

    // A real form bent a little; the model decides whether it still selects a row.
    std::wstring NearMiss()
    {
        std::wstring text = Form();
        for (size_t mutations = 1 + Pick(2); mutations > 0 && !text.empty(); --mutations)
        {
            const size_t at = Pick(text.size());
            switch (Pick(6))
            {
            case 0:  // the other case of the letters from one on
                for (size_t i = at; i < text.size(); ++i)
                    text[i] = iswalpha(text[i]) && text[i] < 0x80 ? text[i] ^ 0x20 : text[i];
                break;
            case 1:
                text.insert(Chance(50) ? 0 : text.size(), OneOf(kAffixes));
                break;
            case 2:  // another leader
                text.replace(0, text[0] == L'/' || text[0] == L'-' ? 1 : 0, OneOf(kAffixes));
                break;
            case 3:
                Chance(50) ? text.erase(at, 1) : text.insert(at, 1, text[at]);
                break;
            case 4:  // a full-width twin
                text[at] = text[at] > 0x20 && text[at] < 0x7F ? static_cast<wchar_t>(text[at] + 0xFEE0) : text[at];
                break;
            default:
                text.insert(at, 1, Unit());
                break;
            }
        }
        return text;
    }

    std::vector<std::wstring> Arguments(Kind kind)
    {
        std::vector<std::wstring> arguments = {InstelixPath()};
        switch (kind)
        {
        case NearMisses:
            // Element 0 takes part in the walk too, so the program name is hostile now and then.
            if (Chance(30))
                arguments[0] = Chance(30)   ? Form()
                               : Chance(50) ? NearMiss()
                                            : L"C:\\run-qmx\\\u00DCber \u6F22\xD800\\" + Text(Pick(20), true);
            for (size_t n = 1 + Pick(20); n > 0; --n)
                arguments.push_back(NearMiss());
            break;
        case Quoting:
            for (size_t n = 1 + Pick(12); n > 0; --n)
            {
                std::wstring argument;
                for (size_t pieces = Pick(8); pieces > 0; --pieces)
                    argument += Chance(25)   ? Form()
                                : Chance(30) ? Text(1 + Pick(3))
                                             : OneOf({L"\\", L"\"", L"\\\\\"", L" ", L"\t", L""});
                arguments.push_back(argument);
            }
            break;
        case NonAscii:
            for (size_t n = 1 + Pick(30); n > 0; --n)
                arguments.push_back(Text(1 + Pick(40)));
            break;
        case LongArgument:
        {
            // Now and then exactly at the limit.
            const size_t room = kCommandLineLimit - JoinCommandLine(arguments).size() - 1;
            const bool exact = Chance(30);
            arguments.push_back(Text(exact ? room : room / 2 + Pick(room / 2), exact));
            break;
        }
        case ManyArguments:
            for (size_t n = 1000 + Pick(9000), length = arguments[0].size(); n > 0 && length <= kCommandLineLimit; --n)
            {
                arguments.push_back(Chance(20) ? NearMiss() : Text(1 + Pick(2)));
                length += 1 + QuoteArgument(arguments.back()).size();
            }
            break;
        default:
        {
            const size_t room = (kCommandLineLimit - JoinCommandLine(arguments).size()) / 2 - 8;
            const size_t before = Pick(room);
            arguments.push_back(Text(before) + kModel[kRowQmx].forms[Pick(4)] + Text(Pick(room - before)));
            break;
        }
        }
        if (kind != LongArgument && kind != ManyArguments && Chance(50))
        {
            // Real switches among the rest, so that continuing and ending chores meet in one walk.
            for (size_t n = 1 + Pick(3); n > 0; --n)
                arguments.insert(arguments.begin() + 1 + Pick(arguments.size()), Form());
        }
        return arguments;
    }

    // Drops trailing arguments, then shortens the last one, until the line fits the limit.
    static void Fit(std::vector<std::wstring>& arguments)
    {
        for (size_t length = JoinCommandLine(arguments).size(); length > kCommandLineLimit;
             length = JoinCommandLine(arguments).size())
        {
            std::wstring& last = arguments.back();
            if (arguments.size() > 2 || last.empty())
                arguments.pop_back();
            else
                last.resize(last.size() - std::min(last.size(), 1 + (length - kCommandLineLimit) / 2));
        }
    }

    std::mt19937 rng_;
};

bool SetKeyAccess(View view, const std::wstring& subKey, const wchar_t* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        return false;
    // The owner may always change the rules, whatever they say.
    const REGSAM flag = view == View::Bits32 ? KEY_WOW64_32KEY : view == View::Bits64 ? KEY_WOW64_64KEY : 0;
    HKEY key = nullptr;
    LSTATUS status =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, nullptr, 0, WRITE_DAC | flag, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS)
    {
        status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
        RegCloseKey(key);
    }
    LocalFree(descriptor);
    return status == ERROR_SUCCESS;
}

void CleanSuite()
{
    for (const wchar_t* key : {L"SOFTWARE\\Tesmar", L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\AutoRotation",
                               L"SYSTEM\\CurrentControlSet\\Services\\TesmarWiFiHotspotSvr",
                               L"SYSTEM\\CurrentControlSet\\Enum\\ACPI\\QRX2004"})
        DeleteKeyEverywhere(key);
    for (const wchar_t* folder : {L"C:\\Program Files\\Tesmar", L"C:\\Program Files (x86)\\Tesmar"})
        RemoveTree(folder);
    for (const wchar_t* file :
         {L"C:\\Windows\\System32\\TesmarWiFiHotspotSvr.exe", L"C:\\Windows\\System32\\TesmarWiFiHotspotSvr.exe.Temp",
          L"C:\\Windows\\System32\\drivers\\AcpiQrx.sys", L"C:\\Windows\\System32\\drivers\\UMDF\\TesmarVhid.dll"})
        RemoveFile(file);
    RemoveLogFolders();
}
}  // namespace

ModelWalk WalkModel(const std::vector<std::wstring>& arguments)
{
    ModelWalk walk;
    for (const std::wstring& argument : arguments)
    {
        const int row = ModelRowFor(argument);
        if (row < 0)
            continue;
        walk.ran.emplace_back(row, argument);
        if (kModel[row].endsWith >= 0)
        {
            walk.exitCode = static_cast<UINT>(kModel[row].endsWith);
            break;
        }
    }
    return walk;
}

std::wstring QuoteArgument(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    // 2n backslashes before a quote give n and the quote opens or closes; 2n+1 give n and a literal quote.
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument)
    {
        if (c == L'\\')
        {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

std::vector<std::wstring> SplitCommandLine(const std::wstring& line)
{
    int count = 0;
    wchar_t** split = CommandLineToArgvW(line.c_str(), &count);
    std::vector<std::wstring> arguments(split, split + (split == nullptr ? 0 : count));
    LocalFree(split);
    return arguments;
}

std::vector<HostileLine> HostileCommandLines(uint32_t seed, size_t count)
{
    Generator generator(seed);
    std::vector<HostileLine> lines;
    for (size_t i = 0; i < count; ++i)
        lines.push_back(generator.Line(i));
    return lines;
}

std::string Printable(const std::wstring& text, size_t limit)
{
    std::string out;
    for (size_t i = 0; i < text.size() && i < limit; ++i)
    {
        char unit[8];
        snprintf(unit, sizeof(unit), text[i] >= 0x20 && text[i] < 0x7F ? "%c" : "\\u%04X",
                 static_cast<unsigned>(text[i]));
        out += unit;
    }
    return text.size() > limit ? out + "..." : out;
}

std::string DescribeRan(const std::vector<std::pair<int, std::wstring>>& ran)
{
    std::string out;
    for (const auto& chore : ran)
        out += "[row " + std::to_string(chore.first + 1) + ": " + Printable(chore.second, 40) + "] ";
    return out;
}

std::string Utf16Bytes(const std::wstring& text, bool terminated)
{
    return std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + (terminated ? 1 : 0)) * 2);
}

ScopedKeyAccess::ScopedKeyAccess(View view, const std::wstring& subKey, const wchar_t* sddl)
    : view_(view), subKey_(subKey)
{
    EXPECT_TRUE(SetKeyAccess(view, subKey, sddl)) << "setting the access rules of the test key";
}

ScopedKeyAccess::~ScopedKeyAccess()
{
    SetKeyAccess(view_, subKey_, L"D:(A;;KA;;;WD)");
}

CleanMachine::CleanMachine() : Tidy(CleanSuite)
{
    SetDword(View::Default, L"SOFTWARE\\Tesmar\\TesmarUtility", L"Installed", 1);
    for (const auto& entry : TakeSnapshot())
    {
        const std::string& name = entry.first;
        EXPECT_TRUE(name == "HKLM\\SOFTWARE\\Tesmar" || name.rfind("HKLM\\SOFTWARE\\Tesmar [", 0) == 0 ||
                    name.find("TesmarUtility") != std::string::npos || name.rfind("C:\\ProgramData", 0) == 0 ||
                    name.rfind("C:\\Suite", 0) == 0 || (name == "virtual HID devices present" && entry.second == "0"))
            << "left in the clean machine: " << name << ": " << entry.second;
    }
}
}  // namespace harness

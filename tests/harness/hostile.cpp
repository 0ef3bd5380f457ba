#include "harness/hostile.h"

#include <shellapi.h>
#include <sddl.h>

#include <stdio.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "harness/harness.h"
#include "harness/snapshot.h"
#include "harness/support.h"

namespace harness
{
// In a clean machine the driver, service, toast and reading-mode chores find nothing to work with and end with 0;
// the rotation switches have no system setting to change and still report 1; the watch finds no settings key.
const ModelRow kSwitchModel[16] = {
    {{L"/POP", L"/pop", L"-POP", L"-pop"}, false, 0},
    {{L"/UPDATEDRIVER", L"UPDATEDRIVER", L"-UPDATEDRIVER"}, false, 0},
    {{L"/DELETEDRIVERBYSETTINGS", L"DELETEDRIVERBYSETTINGS", L"-DELETEDRIVERBYSETTINGS"}, false, 0},
    {{L"/FLYDRIVER", L"/flydriver", L"-FLYDRIVER", L"-flydriver"}, false, 0},
    {{L"/INSTALLSVR", L"/installsvr", L"-INSTALLSVR", L"-installsvr"}, false, 0},
    {{L"/PHONECOMPANION", L"-PHONECOMPANION"}, false, -1},
    {{L"/setrotationopen", L"/SETROTATIONOPEN", L"-setrotationopen", L"-SETROTATIONOPEN"}, false, 1},
    {{L"/setrotationclose", L"/SETROTATIONCLOSE", L"-setrotationclose", L"-SETROTATIONCLOSE"}, false, 1},
    {{L"/fviewon", L"/FVIEWON", L"-fviewon", L"-FVIEWON"}, false, 0},
    {{L"/fviewget", L"/FVIEWGET", L"-fviewget", L"-FVIEWGET"}, false, 0},
    {{L"/fviewwait", L"/FVIEWWAIT", L"-fviewwait", L"-FVIEWWAIT"}, false, 0},
    {{L"/fviewoff", L"/FVIEWOFF", L"-fviewoff", L"-FVIEWOFF"}, false, 0},
    {{L"/issupportfview", L"/ISSUPPORTFVIEW", L"-issupportfview", L"-ISSUPPORTFVIEW"}, false, 0},
    {{L"/qmx", L"-qmx", L"/QMX", L"-QMX"}, true, -1},
    {{L"/closesettings", L"/CLOSESETTINGS", L"-closesettings", L"-CLOSESETTINGS"}, false, -1},
    {{L"/rotationreg", L"/ROTATIONREG", L"-rotationreg", L"-ROTATIONREG"}, false, 0},
};

int ModelRowFor(const std::wstring& argument)
{
    for (int row = 0; row < 16; ++row)
    {
        for (const wchar_t* form : kSwitchModel[row].forms)
        {
            if (form != nullptr &&
                (kSwitchModel[row].contains ? argument.find(form) != std::wstring::npos : argument == form))
                return row;
        }
    }
    return -1;
}

ModelWalk WalkModel(const std::vector<std::wstring>& arguments)
{
    ModelWalk walk;
    for (const std::wstring& argument : arguments)
    {
        const int row = ModelRowFor(argument);
        if (row < 0)
            continue;
        walk.ran.emplace_back(row, argument);
        if (kSwitchModel[row].endsWith >= 0)
        {
            walk.exitCode = static_cast<UINT>(kSwitchModel[row].endsWith);
            return walk;
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

std::wstring JoinCommandLine(const std::vector<std::wstring>& arguments)
{
    std::wstring line;
    for (size_t i = 0; i < arguments.size(); ++i)
    {
        const std::wstring& argument = arguments[i];
        if (i == 0)
            line = argument.empty() || argument.find_first_of(L" \t") != std::wstring::npos ? L"\"" + argument + L"\""
                                                                                             : argument;
        else
            line += L" " + QuoteArgument(argument);
    }
    return line;
}

std::vector<std::wstring> SplitCommandLine(const std::wstring& line)
{
    std::vector<std::wstring> arguments;
    int count = 0;
    wchar_t** split = CommandLineToArgvW(line.c_str(), &count);
    if (split == nullptr)
        return arguments;
    arguments.assign(split, split + count);
    LocalFree(split);
    return arguments;
}

namespace
{
// Any of the usage-mode words ("wait", "mv", "mu", "nor", "ph", letters A to Z in either case) would make the
// usage-mode chore wait for the shell or write the profile.
bool HasUsageWords(const std::wstring& argument)
{
    std::wstring folded = argument;
    for (wchar_t& c : folded)
        c = (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    for (const wchar_t* word : {L"wait", L"mv", L"mu", L"nor", L"ph"})
    {
        if (folded.find(word) != std::wstring::npos)
            return true;
    }
    return false;
}

bool Harmless(const std::vector<std::wstring>& arguments)
{
    for (const std::wstring& argument : arguments)
    {
        const int row = ModelRowFor(argument);
        if (row == kRowFViewWait || (row == kRowQmx && HasUsageWords(argument)))
            return false;
    }
    return true;
}

// Bends an argument that would wait for the shell or write the profile just enough to do neither; each usage-mode
// word holds one of the letters w, v, u, o and h.
void Defuse(std::wstring& argument)
{
    if (ModelRowFor(argument) == kRowFViewWait)
        argument += L"!";
    if (ModelRowFor(argument) == kRowQmx && HasUsageWords(argument))
    {
        for (wchar_t& c : argument)
            c = wcschr(L"wvuohWVUOH", c) != nullptr ? L'_' : c;
    }
}

const wchar_t* const kAffixes[] = {L":",      L":1",     L"=1",     L" ",      L"\t", L"\u00A0", L"\u200B", L"\u0301",
                                   L"\uFEFF", L"\xD800", L"\xDC00", L"\"",     L"\\", L"x",      L"/",      L"-",
                                   L"\u2215", L"\uFF0F", L"\u2212", L"\u2010", L"//", L"--",     L"\r\n",   L"\x1B"};
const wchar_t kOddUnits[] = {0x00A0, 0x200B, 0x202E, 0xFEFF, 0xFFFE, 0xFFFF, 0x0085, 0x2028,
                             0x3000, 0x0301, 0x0001, 0x001B, L'\r', L'\n', L'\v', 0x007F};
enum Kind
{
    NearMisses,
    Quoting,
    NonAscii,
    LongArgument,
    ManyArguments,
    BuriedQmx,
    ProgramName,
    RawText,
    kKinds,
};
const char* const kKindNames[kKinds] = {
    "near-miss switches",       "quotes and backslashes", "non-ASCII and lone surrogates", "one long argument",
    "thousands of arguments", "-qmx buried in long text", "hostile program name",          "raw text"};

class Generator
{
public:
    explicit Generator(uint32_t seed) : rng_(seed) {}

    HostileLine Line(size_t index)
    {
        HostileLine line;
        const Kind kind = static_cast<Kind>(index % kKinds);
        line.kind = kKindNames[kind];
        for (;;)
        {
            if (kind == RawText)
            {
                line.text = Raw();
                if (Harmless(SplitCommandLine(line.text)))
                    return line;
                continue;
            }
            line.intended = Arguments(kind);
            // The program name ends at the next quote whatever precedes it.
            line.intended[0].erase(std::remove(line.intended[0].begin(), line.intended[0].end(), L'"'),
                                   line.intended[0].end());
            for (std::wstring& argument : line.intended)
                Defuse(argument);
            Fit(line.intended);
            line.text = JoinCommandLine(line.intended);
            if (Harmless(line.intended))
                return line;
        }
    }

private:
    size_t Pick(size_t n) { return n == 0 ? 0 : rng_() % n; }
    bool Chance(unsigned percent) { return Pick(100) < percent; }
    template <class T, size_t N>
    const T& OneOf(const T (&items)[N])
    {
        return items[Pick(N)];
    }

    wchar_t Unit()
    {
        switch (Pick(10))
        {
        case 0:
            return L" \t\"\\"[Pick(4)];
        case 1:
            return static_cast<wchar_t>(0xD800 + Pick(0x400));  // a lone high surrogate
        case 2:
            return static_cast<wchar_t>(0xDC00 + Pick(0x400));  // a lone low surrogate
        case 3:
            return OneOf(kOddUnits);
        case 4:
            return static_cast<wchar_t>(0x80 + Pick(0xD800 - 0x80));
        case 5:
            return static_cast<wchar_t>(0xE000 + Pick(0x2000));
        default:
            return static_cast<wchar_t>(0x21 + Pick(0x5E));
        }
    }

    // Text that QuoteArgument leaves as it is.
    wchar_t PlainUnit()
    {
        for (;;)
        {
            const wchar_t c = Unit();
            if (wcschr(L" \t\n\v\"\\", c) == nullptr)
                return c;
        }
    }

    std::wstring Text(size_t length, bool plain = false)
    {
        std::wstring text;
        while (text.size() < length)
        {
            if (Chance(3) && text.size() + 1 < length)
                text += L"\U0001F600";  // a proper surrogate pair among the lone ones
            else
                text += plain ? PlainUnit() : Unit();
        }
        return text;
    }

    std::wstring Form()
    {
        for (;;)
        {
            const ModelRow& row = OneOf(kSwitchModel);
            if (&row == &kSwitchModel[kRowFViewWait])
                continue;
            size_t forms = 0;
            while (forms < 4 && row.forms[forms] != nullptr)
                ++forms;
            return row.forms[Pick(forms)];
        }
    }

    // A real form bent a little; the model decides whether it still selects a row.
    std::wstring NearMiss()
    {
        std::wstring text = Form();
        for (size_t mutations = 1 + Pick(2); mutations > 0 && !text.empty(); --mutations)
        {
            const size_t at = Pick(text.size());
            wchar_t& c = text[at];
            const bool letter = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
            switch (Pick(9))
            {
            case 0:
                if (letter)
                    c ^= 0x20;  // the other case of one letter
                break;
            case 1:
                for (wchar_t& each : text)
                    each = ((each >= L'a' && each <= L'z') || (each >= L'A' && each <= L'Z')) ? each ^ 0x20 : each;
                break;
            case 2:
                text = std::wstring(OneOf(kAffixes)) + text.substr(text[0] == L'/' || text[0] == L'-' ? 1 : 0);
                break;
            case 3:
                text += OneOf(kAffixes);
                break;
            case 4:
                text.insert(0, OneOf(kAffixes));
                break;
            case 5:
                text.erase(at, 1);
                break;
            case 6:
                text.insert(at, 1, c);
                break;
            case 7:
                if (c > 0x20 && c < 0x7F)
                    c = static_cast<wchar_t>(c + 0xFEE0);  // its full-width twin
                break;
            default:
                text.insert(at, 1, Unit());
                break;
            }
        }
        return text;
    }

    std::wstring QuotingPiece()
    {
        switch (Pick(8))
        {
        case 0:
            return L"\\";
        case 1:
            return L"\"";
        case 2:
            return L"\\\\\"";
        case 3:
            return L" ";
        case 4:
            return L"\t";
        case 5:
            return L"";
        case 6:
            return Form();
        default:
            return Text(1 + Pick(3));
        }
    }

    std::wstring HostileProgramName()
    {
        const std::wstring path = InstelixPath();
        switch (Pick(6))
        {
        case 0:
            return L"C:\\run-qmx\\" + Text(Pick(20), true) + L"\\Instelix.exe";
        case 1:
            return Form();
        case 2:
            return L"";
        case 3:
            return L"C:\\Program Files\\\u00DCber \u6F22\xD800\\Instelix.exe";
        case 4:
            return path + L"\\" + Text(2000 + Pick(20000), true);
        default:
            return NearMiss();
        }
    }

    std::vector<std::wstring> Arguments(Kind kind)
    {
        std::vector<std::wstring> arguments = {kind == ProgramName ? HostileProgramName() : InstelixPath()};
        switch (kind)
        {
        case NearMisses:
        case ProgramName:
            for (size_t n = 1 + Pick(20); n > 0; --n)
                arguments.push_back(NearMiss());
            break;
        case Quoting:
            for (size_t n = 1 + Pick(12); n > 0; --n)
            {
                std::wstring argument;
                for (size_t pieces = Pick(8); pieces > 0; --pieces)
                    argument += QuotingPiece();
                arguments.push_back(argument);
            }
            break;
        case NonAscii:
            for (size_t n = 1 + Pick(30); n > 0; --n)
                arguments.push_back(Text(1 + Pick(40)));
            break;
        case LongArgument:
        {
            // Now and then exactly at the limit: plain text is not quoted, so its length is known.
            const size_t room = kCommandLineLimit - JoinCommandLine(arguments).size() - 1;
            const bool exact = Chance(30);
            arguments.push_back(Text(exact ? room : room / 2 + Pick(room / 2), exact));
            break;
        }
        case ManyArguments:
        {
            size_t length = JoinCommandLine(arguments).size();
            for (size_t n = 1000 + Pick(9000); n > 0; --n)
            {
                std::wstring argument = Chance(20) ? NearMiss() : Text(1 + Pick(2));
                length += 1 + QuoteArgument(argument).size();
                if (length > kCommandLineLimit)
                    break;
                arguments.push_back(argument);
            }
            break;
        }
        case BuriedQmx:
        {
            const size_t room = (kCommandLineLimit - JoinCommandLine(arguments).size()) / 2 - 8;
            const std::wstring qmx = kSwitchModel[kRowQmx].forms[Pick(4)];
            const size_t before = Pick(room);
            arguments.push_back(Text(before) + qmx + Text(Pick(room - before)));
            break;
        }
        default:
            break;
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
    void Fit(std::vector<std::wstring>& arguments)
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

    std::wstring Raw()
    {
        std::wstring text = Chance(50) ? L"\"" + InstelixPath() + L"\"" : L"";
        for (size_t pieces = 1 + Pick(60); pieces > 0; --pieces)
        {
            switch (Pick(6))
            {
            case 0:
                text += Form();
                break;
            case 1:
                text += NearMiss();
                break;
            case 2:
                text += Text(1 + Pick(8));
                break;
            default:
                text += OneOf({L" ", L"\t", L"\"", L"\\", L"\\\\\"", L"\"\"", L"\"\"\"", L"\\\""});
                break;
            }
        }
        return text.empty() ? L" " : text;
    }

    std::mt19937 rng_;
};

std::string Escape(const std::wstring& text, size_t limit)
{
    std::string out;
    for (size_t i = 0; i < text.size() && i < limit; ++i)
    {
        char unit[12];
        if (text[i] >= 0x20 && text[i] < 0x7F)
            snprintf(unit, sizeof(unit), "%c", static_cast<char>(text[i]));
        else
            snprintf(unit, sizeof(unit), "\\u%04X", static_cast<unsigned>(text[i]));
        out += unit;
    }
    return text.size() > limit ? out + "..." : out;
}
}  // namespace

std::vector<HostileLine> HostileCommandLines(uint32_t seed, size_t count)
{
    Generator generator(seed);
    std::vector<HostileLine> lines;
    for (size_t i = 0; i < count; ++i)
        lines.push_back(generator.Line(i));
    return lines;
}

std::string DescribeLine(const HostileLine& line)
{
    return std::string(line.kind) + ", " + std::to_string(line.text.size()) + " characters, " +
           std::to_string(SplitCommandLine(line.text).size()) + " elements: " + Escape(line.text, 160);
}

std::string DescribeRan(const std::vector<std::pair<int, std::wstring>>& ran)
{
    std::string out;
    for (const auto& chore : ran)
        out += "[row " + std::to_string(chore.first + 1) + ": " + Escape(chore.second, 40) + "] ";
    return out;
}

namespace
{
REGSAM ViewFlag(View view)
{
    return view == View::Bits32 ? KEY_WOW64_32KEY : view == View::Bits64 ? KEY_WOW64_64KEY : 0;
}

bool SetKeyAccess(View view, const std::wstring& subKey, const wchar_t* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        return false;
    // The owner may always change the rules, whatever they say.
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, WRITE_DAC | ViewFlag(view), &key);
    if (status == ERROR_SUCCESS)
    {
        status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
        RegCloseKey(key);
    }
    LocalFree(descriptor);
    return status == ERROR_SUCCESS;
}
}  // namespace

ScopedKeyAccess::ScopedKeyAccess(View view, const std::wstring& subKey, const wchar_t* sddl)
    : view_(view), subKey_(subKey)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, nullptr, 0, KEY_READ | ViewFlag(view), nullptr, &key,
                        nullptr) == ERROR_SUCCESS)
        RegCloseKey(key);
    EXPECT_TRUE(SetKeyAccess(view, subKey, sddl)) << "setting the access rules of the test key";
}

ScopedKeyAccess::~ScopedKeyAccess()
{
    SetKeyAccess(view_, subKey_, L"D:(A;;KA;;;WD)");
}

namespace
{
const wchar_t kUtilityKey[] = L"SOFTWARE\\Tesmar\\TesmarUtility";

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

CleanMachine::CleanMachine()
{
    CleanSuite();
    SetDword(View::Default, kUtilityKey, L"Installed", 1);
}

CleanMachine::~CleanMachine()
{
    CleanSuite();
}

std::vector<std::string> CleanMachine::Leftovers() const
{
    std::vector<std::string> leftovers;
    for (const auto& entry : TakeSnapshot())
    {
        const std::string& name = entry.first;
        const bool expected = name == "HKLM\\SOFTWARE\\Tesmar" || name.rfind("HKLM\\SOFTWARE\\Tesmar [", 0) == 0 ||
                              name.find("TesmarUtility") != std::string::npos ||
                              name.rfind("C:\\ProgramData", 0) == 0 || name.rfind("C:\\Suite", 0) == 0 ||
                              (name == "virtual HID devices present" && entry.second == "0");
        if (!expected)
            leftovers.push_back(name + ": " + entry.second);
    }
    return leftovers;
}
}  // namespace harness

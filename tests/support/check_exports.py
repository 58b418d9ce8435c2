"""The library's dynamic symbol table is exactly the set of names the public
headers declare with VANTREL_API: the C functions and flags of vantrel.h and
the C++ interface of vantrel_export.h (listed below by their demangled
names). Nothing internal leaks, nothing is missing."""
import os
import re
import subprocess
import sys

header = open(os.path.join(os.environ["VANTREL_SOURCE"], "include", "vantrel.h"), encoding="utf-8").read()
# Without comments and preprocessor lines, the name each declaration declares:
# the identifier before '(' for functions, before ';' or '[' for variables.
text = re.sub(r"^\s*#.*$", "", re.sub(r"/\*.*?\*/", "", header, flags=re.S), flags=re.M)
declared = set()
for decl in re.findall(r"VANTREL_API\b([^;{]*)", text):
    match = re.search(r"(\w+)\s*\(", decl) or re.search(r"(\w+)\s*(?:\[.*\])?\s*$", decl.strip())
    if match:
        declared.add(match.group(1))

# The C++ interface for hosts that drive an export themselves.
MAP = "std::map<void*, CArbitration*, std::less<void*>, std::allocator<std::pair<void* const, CArbitration*> > >&"
CURSORS = "std::vector<CArbDbInfo*, std::allocator<CArbDbInfo*> >&"
WSTRING = "std::__cxx11::basic_string<wchar_t, std::char_traits<wchar_t>, std::allocator<wchar_t> >&"
PROGRESS = "int (*)(int, wchar_t const*)"
for cls in ("CppSQLite3Exception", "CppSQLite3DB"):
    declared |= {f"typeinfo for {cls}", f"typeinfo name for {cls}", f"vtable for {cls}", f"{cls}::~{cls}()"}
declared |= {
    "Exp_ShowProgress",
    "CppSQLite3Exception::CppSQLite3Exception(int, wchar_t const*, bool)",
    "CppSQLite3Exception::errorCodeAsString(int)",
    "CppSQLite3DB::CppSQLite3DB()",
    "CppSQLite3DB::open(wchar_t const*)",
    "CppSQLite3DB::close()",
    "COrbkBin::COrbkBin()",
    "COrbkBin::~COrbkBin()",
    "CArbDbInfo::~CArbDbInfo()",
    "CArbitration::m_bUseMessageBytes",
    f"LoadChannelsFromDatabase(CppSQLite3DB*, COrbkBin&, {CURSORS})",
    f"CreateIndices(CppSQLite3DB*, {MAP}, {PROGRESS})",
    f"CreateIndices(CppSQLite3DB*, {CURSORS}, {PROGRESS})",
    f"ExportDbData(CppSQLite3DB*, {MAP}, {CURSORS}, COrbkBin&, {WSTRING}, unsigned int, int)",
}

out = subprocess.run(["nm", "-D", "-C", "--defined-only", os.environ["VANTREL_LIB"]],
                     check=True, capture_output=True, text=True).stdout
# "<address> <type> <demangled name, which may hold blanks>"
exported = {line.split(" ", 2)[2].split("@")[0] for line in out.splitlines() if line.strip()}
# Names the hosts are promised, whatever the header says.
promised = {"GetChannels", "GetChannelsW", "GetChannelStatistics", "GetChannelStatisticsW", "ValidateSignals",
            "ValidateSignalsW", "ExportToMdf", "ExportToMdfW", "ExportToMdfForceRate", "ExportToMdfForceRateW"}
leaked, missing = sorted(exported - declared), sorted((declared | promised) - exported)
if leaked:
    print("exported but not declared in the public headers:", *leaked, sep="\n  ")
if missing:
    print("declared in the public headers but not exported:", *missing, sep="\n  ")
print(f"{len(exported)} exported symbols checked")
sys.exit(1 if leaked or missing else 0)

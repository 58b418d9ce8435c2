"""The library's dynamic symbol table is exactly the set of names the public
header declares with VANTREL_API: nothing internal leaks, nothing is missing."""
import os
import re
import subprocess
import sys

header = open(os.path.join(os.environ["VANTREL_SOURCE"], "include", "vantrel.h"), encoding="utf-8").read()
# Join declarations split over several lines, then take the declared name:
# the identifier before '(' for functions, before ';' or '[' for variables.
text = re.sub(r"/\*.*?\*/", "", header, flags=re.S)
text = re.sub(r"^\s*#.*$", "", text, flags=re.M)
declared = set()
for decl in re.findall(r"VANTREL_API\b([^;{]*)", text):
    decl = decl.strip()
    match = re.search(r"(\w+)\s*\(", decl) or re.search(r"(\w+)\s*(?:\[.*\])?\s*$", decl)
    if match:
        declared.add(match.group(1))

out = subprocess.run(["nm", "-D", "--defined-only", os.environ["VANTREL_LIB"]],
                     check=True, capture_output=True, text=True).stdout
exported = {line.split()[-1].split("@")[0] for line in out.splitlines() if line.strip()}

# Names the hosts are promised, whatever the header says.
promised = {"GetChannels", "GetChannelsW", "GetChannelStatistics", "GetChannelStatisticsW", "ValidateSignals",
            "ValidateSignalsW"}
leaked = sorted(exported - declared)
missing = sorted((declared | promised) - exported)
if leaked:
    print("exported but not declared in vantrel.h:", *leaked, sep="\n  ")
if missing:
    print("declared in vantrel.h but not exported:", *missing, sep="\n  ")
print(f"{len(exported)} exported symbols checked")
sys.exit(1 if leaked or missing else 0)

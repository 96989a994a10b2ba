#!/usr/bin/env bash
# The layer rule: includes point downwards only.
#
#   ui/<front end>  ->  app  ->  serial, payload  ->  platform
#
# A layer may include its own folder and every layer below it; serial and
# payload do not include each other, nor do two front ends under ui/; a front
# end includes app/ and platform/ only (what it needs of serial or payload
# comes through app). tools/
# may include every layer and each other, never tests/; tests/ may include
# anything and is not read.
#
# The operating system is platform's: only platform/ includes its headers
# and asks which system it is built for (#if on _WIN32, __linux__, ...).
# Elsewhere a header that is not the project's is the C++ standard
# library's (a name without an extension: <vector>, <cstdio>) or, in
# ui/fltk, FLTK's (<FL/...>). Two places stand on a system by design and
# may include its headers: ui/win32, the front end written against the
# Windows window system as ui/fltk is against FLTK, and tools/vmodem, the
# Linux test tool on pseudo-terminals; neither asks which system it is.
#
# Every include or conditional that breaks the rules is printed as
# "file:line: ..." and the script exits 1.
#
# Usage: scripts/check_layers.sh [ROOT]   (ROOT: the source tree, default ..)
set -euo pipefail
root=${1:-"$(dirname "$0")/.."}
cd "$root"

folders=(platform payload serial app ui tools)
existing=()
for f in "${folders[@]}"; do [ -d "$f" ] && existing+=("$f"); done
[ "${#existing[@]}" -gt 0 ] || { echo "check_layers: no layer folders under $root" >&2; exit 2; }

sources() {
  find "${existing[@]}" tests -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.cpp' -o -name '*.cc' \
    -o -name '*.c' -o -name '*.inl' \) 2>/dev/null | sort
}

# The macros that tell one system from another.
system_macros='_WIN32|_WIN64|WIN32|__MINGW32__|__MINGW64__|_MSC_VER|__CYGWIN__|__linux__|__linux|linux|__unix__|__unix|unix|__APPLE__|__MACH__|__FreeBSD__|_POSIX_VERSION'

# First the list of every source file (to resolve includes that name no
# folder), then the include lines of the layers, then their conditionals
# that name a system outside platform/.
{
  sources | sed 's/^/F\t/'
  sources | grep -v '^tests/' | xargs -r -d '\n' grep -HnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"][^">]+[">]' |
    sed -E 's/^([^:]*):([0-9]+):/I\t\1\t\2:/' || true
  sources | grep -v '^tests/' | grep -v '^platform/' | xargs -r -d '\n' grep -HnE \
    "^[[:space:]]*#[[:space:]]*(if|ifdef|ifndef|elif)\\b.*\\b($system_macros)\\b" |
    sed -E 's/^([^:]*):([0-9]+):/C\t\1\t\2:/' || true
} | awk -F'\t' '
function layer(path,   part, n) {
    n = split(path, part, "/")
    if (n < 2) return ""
    if (part[1] == "ui") return (n > 2) ? "ui/" part[2] : ""
    if (part[1] == "tools" || part[1] == "tests") return part[1]
    if (part[1] == "platform" || part[1] == "payload" || part[1] == "serial" || part[1] == "app")
        return part[1]
    return ""
}
function allowed(from, to) {
    if (to == "" || from == to) return 1
    if (from == "tools") return to != "tests"
    if (to == "platform") return 1
    if (to == "payload" || to == "serial") return from == "app"
    if (to == "app") return from ~ /^ui\//
    return 0
}
# Whether the file may include the header <name>, which is no file of the tree.
function outside_allowed(file, from, name) {
    if (name !~ /\./) return 1                      # the C++ standard library
    if (from == "platform" || from == "ui/win32") return 1
    if (file ~ /^tools\/vmodem\//) return 1
    if (from == "ui/fltk" && name ~ /^FL\//) return 1
    return 0
}
function dirname(path) { return sub(/\/[^\/]*$/, "", path) ? path : "" }
# Folds "." and ".." out of a relative path; "" when it leaves the tree.
function normal(path,   part, n, i, out, k, res) {
    n = split(path, part, "/")
    k = 0
    for (i = 1; i <= n; i++) {
        if (part[i] == "" || part[i] == ".") continue
        if (part[i] == "..") { if (k == 0) return ""; k--; continue }
        out[++k] = part[i]
    }
    res = ""
    for (i = 1; i <= k; i++) res = res (i > 1 ? "/" : "") out[i]
    return res
}
$1 == "F" { known[$2] = 1; files[++nfiles] = $2; next }
$1 == "C" {
    line = $3; sub(/:.*/, "", line)
    text = $3; sub(/^[0-9]+:/, "", text)
    printf "%s:%s: asks which system it is built for, which only platform does (%s)\n", $2, line, text
    count++
    next
}
$1 == "I" {
    file = $2
    line = $3; sub(/:.*/, "", line)
    text = $3; sub(/^[0-9]+:/, "", text)
    name = text
    sub(/^[^<"]*[<"]/, "", name); sub(/[>"].*$/, "", name)
    from = layer(file)
    here = normal(dirname(file) "/" name)
    ours = 1
    if (here != "" && ((here in known) || name ~ /^\.\.?\//)) {
        target = here                        # beside the file, or relative
    } else if (name ~ /\// && layer(name) != "") {
        target = name                        # from the project root
    } else {
        # A bare name found through an include directory: upward when every
        # file of that name lies in a layer this one may not include.
        target = ""; bad = ""; ours = 0
        for (i = 1; i <= nfiles; i++) {
            f = files[i]
            if (f != name && substr(f, length(f) - length(name)) != "/" name) continue
            ours = 1
            if (allowed(from, layer(f))) { bad = ""; target = ""; break }
            if (bad == "") bad = f
        }
        if (bad != "") target = bad
    }
    if (!ours && !outside_allowed(file, from, name)) {
        printf "%s:%s: %s includes a header of the operating system or of a library it may not use (%s)\n", file, line, from, text
        count++
        next
    }
    if (target == "") next
    to = layer(target)
    if (!allowed(from, to)) {
        printf "%s:%s: %s includes %s (%s)\n", file, line, from, to, text
        count++
    }
}
END {
    if (count) {
        printf "layer rule: %d fault(s); the arrows are ui -> app -> serial, payload -> platform, and the operating system is platform\x27s\n", count
        exit 1
    }
    print "layer rule: every include points downwards, and only platform includes the operating system"
}'

# Sourced by the link audits: failure counting and the import allow-list.

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# check_imports "IMPORTS" "REQUIRED" "OPTIONAL": every import must be on one
# of the two lists, and every required symbol must be imported.
check_imports() {
    local imports=$1 required=$2 optional=$3 symbol
    for symbol in $imports; do
        case " $(echo $required $optional) " in
            *" $symbol "*) ;;
            *) fail "unexpected import $symbol" ;;
        esac
    done
    for symbol in $required; do
        case " $imports " in *" $symbol "*) ;; *) fail "missing import $symbol" ;; esac
    done
}

# finish NAME: the verdict line and exit status.
finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$1: $failures problem(s)"
        exit 1
    fi
    echo "PASS: $1"
}

# read_macho BINARY: the Mach-O checks both macOS audits make (a 64-bit
# arm64 executable, code signature, built for macOS 15 or earlier), leaving
# header, platform, minos and dylibs (the libraries it loads, one a line,
# sorted) for the audit's own checks. Needs $objdump.
read_macho() {
    header=$("$objdump" --macho --private-header "$1")
    echo "$header" | grep -Eq 'MH_MAGIC_64 +ARM64 .* EXECUTE ' || fail "not a 64-bit arm64 Mach-O executable"
    local commands
    commands=$("$objdump" --macho --private-headers "$1")
    grep -q 'cmd LC_CODE_SIGNATURE' <<<"$commands" || fail "no LC_CODE_SIGNATURE"
    grep -q 'cmd LC_BUILD_VERSION' <<<"$commands" || fail "no LC_BUILD_VERSION"
    platform=$(awk '/cmd LC_BUILD_VERSION/{found=1} found && $1=="platform"{print $2; exit}' <<<"$commands")
    minos=$(awk '/cmd LC_BUILD_VERSION/{found=1} found && $1=="minos"{print $2; exit}' <<<"$commands")
    [ "$platform" = macos ] || fail "build platform is '$platform', not macos"
    [ "${minos%%.*}" -le 15 ] 2>/dev/null || fail "minimum macOS '$minos' is above 15"
    dylibs=$(awk '/cmd LC_(LOAD|LOAD_WEAK|REEXPORT|LAZY_LOAD|LOAD_UPWARD)_DYLIB/{want=1; next}
                  want && $1 == "name" {print $2; want=0}' <<<"$commands" | LC_ALL=C sort -u)
}

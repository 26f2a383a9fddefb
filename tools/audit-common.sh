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

# Sourced by the scripts that hand their arguments on to ctest, so that an
# argument ctest would not take is refused before anything is installed or
# built. Not a command of its own.

# ctest's options (CMake 3.25, Debian 12) that choose, run and report tests;
# those of the second list take a value, as the next word or after "=".
ctest_flags=" -V --verbose -VV --extra-verbose --debug --progress --output-on-failure
  --stop-on-failure -F -Q --quiet -N --show-only -U --union --rerun-failed --schedule-random
  --no-label-summary --no-subproject-summary --print-labels --no-compress-output
  --force-new-ctest-process --no-tests "
ctest_valued=" -C --build-config -j --parallel -O --output-log --output-junit -L --label-regex
  -R --tests-regex -E --exclude-regex -LE --label-exclude -FA --fixture-exclude-any
  -FS --fixture-exclude-setup -FC --fixture-exclude-cleanup -I --tests-information
  --repeat --repeat-until-fail --max-width --timeout --stop-time --test-load
  --resource-spec-file --test-output-size-passed --test-output-size-failed
  --test-output-truncation --test-dir "

# Exits 64, saying why, at the first argument that is neither an option of
# ctest's above nor the value of one. $1 names the script.
check_ctest_args() {
  local me="$1" a
  shift
  while [ $# -gt 0 ]; do
    a="$1"
    shift
    case "$ctest_flags" in *[[:space:]]"${a%%=*}"[[:space:]]*) continue ;; esac
    case "$ctest_valued" in
      *[[:space:]]"$a"[[:space:]]*)
        if [ $# -eq 0 ]; then
          echo "$me: $a wants a value" >&2
          exit 64
        fi
        shift
        continue
        ;;
      *[[:space:]]"${a%%=*}"[[:space:]]*) [ "${a#*=}" = "$a" ] || continue ;;
    esac
    # -j8: the jobs joined to the option.
    [[ "$a" =~ ^-j[0-9]+$ ]] && continue
    echo "$me: $a is not an option of ctest's that $me hands on (--help tells what it takes)" >&2
    exit 64
  done
}

# Prints the header of script $1 (its comment lines after the first) and
# exits 0 when any later argument asks for help.
help_if_asked() {
  local script="$1" a
  shift
  for a in "$@"; do
    case "$a" in
      -h | --help)
        sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$script"
        exit 0
        ;;
    esac
  done
}

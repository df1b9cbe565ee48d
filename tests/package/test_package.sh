#!/usr/bin/env bash
# Checks of what nchatd installs.  Run by ctest:
#
#   test_package.sh MODE SRCDIR BUILDDIR BINARY VERSION CMAKE CPACK
#
# MODE is one of
#   manpage  the manual page lints clean and matches the binary and version
#   unit     the systemd service and socket units pass `systemd-analyze verify`
#   install  `cmake --install` with DESTDIR lays the files out for /usr and
#            /usr/local
#   deb      `cpack -G DEB` makes a package with the right files, modes and
#            control fields, whose binary runs once extracted
#
# Exit status: 0 passed, 1 failed, 77 skipped because a tool is missing.
set -u

mode=$1 src=$2 build=$3 binary=$4 version=$5 cmake=$6 cpack=$7
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
skip() { echo "SKIP: $*"; exit 77; }
need() { command -v "$1" >/dev/null || skip "$1 is not installed (Debian package $2)"; }

# Compare a value with what it should be; one line per check.
check_eq() { # what actual expected
  if [ "$2" = "$3" ]; then pass "$1"; else fail "$1: got '$2', want '$3'"; fi
}

scratch=$(mktemp -d "$build/package-test.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT

# Runs an installed or extracted binary with --help and checks the usage
# text.  A bounded run: a binary that ignored --help would start serving.
check_help() { # binary label
  local out rc
  out=$(timeout 10 "$1" --help 2>&1)
  rc=$?
  check_eq "$2 --help exit status" "$rc" 0
  check_eq "$2 --help first line" "${out%%$'\n'*}" "Usage: $1 [OPTION]..."
}

# Verifies copies of the service and socket units of a directory, the
# service's ExecStart pointed at an existing binary, with the manual page
# findable for Documentation=man:nchatd(8).  `systemd-analyze verify`
# reports some faults (unknown keys, for one) only as messages with exit
# status 0, so any output counts as a failure.
verify_units() { # unitdir binary label
  local dir out rc
  dir=$(mktemp -d "$scratch/unit.XXXXXX")
  mkdir -p "$dir/man/man8"
  cp "$src/packaging/nchatd.8" "$dir/man/man8/"
  sed "s|^ExecStart=[^ ]*|ExecStart=$2|" "$1/nchatd.service" >"$dir/nchatd.service"
  cp "$1/nchatd.socket" "$dir/" || { fail "$3: no nchatd.socket in $1"; return; }
  out=$(cd "$dir" && MANPATH="$dir/man" SYSTEMD_LOG_COLOR=0 \
    timeout 60 systemd-analyze verify ./nchatd.service ./nchatd.socket 2>&1)
  rc=$?
  if [ "$rc" = 0 ] && [ -z "$out" ]; then
    pass "$3 verify"
  else
    fail "$3 do not verify (status $rc): $out"
  fi
}

# The list of regular files and links under a directory, relative to it.
list_files() {
  (cd "$1" && find . \( -type f -o -type l \) | sed 's|^\./|/|' | LC_ALL=C sort)
}

test_manpage() {
  local page=$src/packaging/nchatd.8 out
  need mandoc mandoc
  for p in "$page" "$src/packaging/nchatctl.8"; do
    out=$(mandoc -T lint -W style "$p" 2>&1)
    if [ -z "$out" ]; then pass "mandoc -T lint $p"; else fail "mandoc -T lint: $out"; fi
    if command -v groff >/dev/null; then
      out=$(groff -man -ww -z "$p" 2>&1)
      if [ -z "$out" ]; then pass "groff -ww $p"; else fail "groff -ww: $out"; fi
    else
      echo "note: groff is not installed (groff-base), its check is left out"
    fi
  done
  check_eq "version in the nchatctl page header" \
    "$(sed -n 's/^\.TH NCHATCTL 8 [^ ]* "nchatd \([^"]*\)".*/\1/p' "$src/packaging/nchatctl.8")" "$version"

  check_eq "version in the page header" \
    "$(sed -n 's/^\.TH NCHATD 8 [^ ]* "nchatd \([^"]*\)".*/\1/p' "$page")" "$version"

  # Every option that the binary's usage text offers is documented.
  local opts opt
  opts=$(timeout 10 "$binary" --help | sed -n 'h; s/^  \(-[a-zA-Z]\) .*/\1/p; g; s/.*(also \(--[a-z-]*\)).*/\1/p')
  [ -n "$opts" ] || fail "no options found in the usage text"
  for opt in $opts; do
    if OPT=${opt//-/\\-} awk '/^\.SH / { in_opts = ($2 == "OPTIONS") }
        in_opts && ($1 == ".B" || $1 == ".BI") && $2 == ENVIRON["OPT"] { found = 1 }
        END { exit !found }' "$page"; then
      pass "option $opt documented"
    else
      fail "option $opt is not in OPTIONS"
    fi
  done
}

test_unit() {
  need systemd-analyze systemd
  local unit=$src/packaging/nchatd.service
  # The install rewrites this path for the prefix it installs to.
  check_eq "ExecStart of the unit" "$(grep '^ExecStart=' "$unit")" "ExecStart=/usr/sbin/nchatd -i -c /run/nchatd/control"
  check_eq "port of the socket unit" "$(sed -n 's/^ListenStream=//p' "$src/packaging/nchatd.socket")" \
    "$(timeout 10 "$binary" --help | sed -n 's/^  -p PORT .*(default: \([0-9]*\))$/\1/p')"
  verify_units "$src/packaging" "$binary" "the units"
}

# One install with DESTDIR and a prefix; the unit directory is given.
check_install() { # prefix unitdir
  local prefix=$1 unitdir=$2 root=$scratch/root${1//\//_} out
  mkdir -p "$root"
  out=$( (umask 022 && DESTDIR=$root "$cmake" --install "$build" --prefix "$prefix") 2>&1) ||
    { fail "cmake --install --prefix $prefix: $out"; return; }

  check_eq "files installed for prefix $prefix" "$(list_files "$root")" \
    "$(printf '%s\n' "$prefix/sbin/nchatd" "$prefix/sbin/nchatctl" "$prefix/share/doc/nchatd/changelog.gz" \
      "$prefix/share/doc/nchatd/copyright" "$prefix/share/man/man8/nchatd.8.gz" \
      "$prefix/share/man/man8/nchatctl.8.gz" \
      "$unitdir/nchatd.service" "$unitdir/nchatd.socket" | LC_ALL=C sort)"
  check_help "$root$prefix/sbin/nchatd" "installed $prefix/sbin/nchatd"
  check_eq "ExecStart of the unit for prefix $prefix" \
    "$(grep '^ExecStart=' "$root$unitdir/nchatd.service")" "ExecStart=$prefix/sbin/nchatd -i -c /run/nchatd/control"
  if cmp -s "$root$unitdir/nchatd.socket" "$src/packaging/nchatd.socket"; then
    pass "socket unit for prefix $prefix is the source"
  else
    fail "socket unit for prefix $prefix differs from packaging/nchatd.socket"
  fi
  local gz
  for gz in share/man/man8/nchatd.8.gz share/man/man8/nchatctl.8.gz share/doc/nchatd/changelog.gz; do
    if gzip -dc "$root$prefix/$gz" | cmp -s - "$src/packaging/$(basename "$gz" .gz)"; then
      pass "$prefix/$gz is the compressed source"
    else
      fail "$prefix/$gz is not packaging/$(basename "$gz" .gz) compressed"
    fi
  done
  out=$(cd "$root" && find . -mindepth 1 \( -type d ! -perm 755 \) -o \
    \( -type f ! -path '*/sbin/*' ! -perm 644 \) -o \( -type f -path '*/sbin/*' ! -perm 755 \))
  check_eq "modes for prefix $prefix" "$out" ""
}

test_install() {
  check_install /usr /lib/systemd/system
  check_install /usr/local /usr/local/lib/systemd/system
}

test_deb() {
  need dpkg-deb dpkg
  need dpkg-shlibdeps dpkg-dev
  need file file
  local out deb arch listing
  out=$(cd "$scratch" && (umask 077 && timeout 150 "$cpack" -G DEB \
    --config "$build/CPackConfig.cmake" -B "$scratch/pkg") 2>&1) ||
    { fail "cpack: $out"; return; }
  arch=$(dpkg --print-architecture)
  deb=$scratch/pkg/nchatd_${version}_$arch.deb
  [ -f "$deb" ] || { fail "no $deb; cpack said: $out"; return; }
  pass "cpack made $(basename "$deb")"

  # Contents: exactly these entries, owned by root, with Debian's modes,
  # although the package was made under umask 077.
  listing=$(dpkg-deb -c "$deb" | awk '{ print $1, $2, $6 }' | LC_ALL=C sort -k3)
  check_eq "package contents" "$listing" "$(LC_ALL=C sort -k3 <<EOF
drwxr-xr-x root/root ./lib/
drwxr-xr-x root/root ./lib/systemd/
drwxr-xr-x root/root ./lib/systemd/system/
-rw-r--r-- root/root ./lib/systemd/system/nchatd.service
-rw-r--r-- root/root ./lib/systemd/system/nchatd.socket
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/sbin/
-rwxr-xr-x root/root ./usr/sbin/nchatctl
-rwxr-xr-x root/root ./usr/sbin/nchatd
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/nchatd/
-rw-r--r-- root/root ./usr/share/doc/nchatd/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/nchatd/copyright
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man8/
-rw-r--r-- root/root ./usr/share/man/man8/nchatctl.8.gz
-rw-r--r-- root/root ./usr/share/man/man8/nchatd.8.gz
EOF
)"

  check_eq "Package" "$(dpkg-deb -f "$deb" Package)" nchatd
  check_eq "Version" "$(dpkg-deb -f "$deb" Version)" "$version"
  check_eq "Architecture" "$(dpkg-deb -f "$deb" Architecture)" "$arch"
  check_eq "Section" "$(dpkg-deb -f "$deb" Section)" net
  check_eq "Description summary" "$(dpkg-deb -f "$deb" Description | head -n 1)" \
    "multi-user chat server for plain-text terminals"
  local field
  field=$(dpkg-deb -f "$deb" Maintainer)
  if [[ $field =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]]; then
    pass "Maintainer is a name and an address"
  else
    fail "Maintainer: '$field'"
  fi
  # Computed by dpkg-shlibdeps from the binary's libraries.
  field=$(dpkg-deb -f "$deb" Depends)
  if [[ $field =~ (^|, )libc6\ \(\>=\ [0-9.]+\) ]]; then
    pass "Depends computed: $field"
  else
    fail "Depends lacks libc6: '$field'"
  fi

  # Control area: maintainer scripts that parse, and checksums that match.
  local ctrl=$scratch/control root=$scratch/extracted script
  dpkg-deb -e "$deb" "$ctrl"
  for script in postinst prerm postrm; do
    if [ -x "$ctrl/$script" ] && sh -n "$ctrl/$script"; then
      pass "$script present and parses"
    else
      fail "$script missing, not executable or not valid sh"
    fi
  done

  dpkg -x "$deb" "$root"
  if out=$(cd "$root" && md5sum --quiet -c "$ctrl/md5sums" 2>&1); then
    pass "md5sums match"
  else
    fail "md5sums: $out"
  fi
  check_help "$root/usr/sbin/nchatd" "packaged /usr/sbin/nchatd"
  check_eq "packaged nchatctl unreachable server" \
    "$(timeout 10 "$root/usr/sbin/nchatctl" -c "$scratch/none" users 2>&1; echo "status $?")" \
    "$root/usr/sbin/nchatctl: cannot reach nchatd at $scratch/none: No such file or directory"$'\n'"status 2"
  gzip -dc "$root/usr/share/doc/nchatd/changelog.gz" >"$scratch/changelog"
  check_eq "version of the newest change log entry" \
    "$(dpkg-parsechangelog -l "$scratch/changelog" -S Version 2>&1)" "$version"
  field=$(file -b "$root/usr/sbin/nchatd")
  if [[ $field == *", stripped"* ]]; then pass "binary stripped"; else fail "binary not stripped: $field"; fi
  check_eq "ExecStart of the packaged unit" \
    "$(grep '^ExecStart=' "$root/lib/systemd/system/nchatd.service")" "ExecStart=/usr/sbin/nchatd -i -c /run/nchatd/control"
  if command -v systemd-analyze >/dev/null; then
    verify_units "$root/lib/systemd/system" "$root/usr/sbin/nchatd" "the packaged units"
  fi
}

case $mode in
manpage | unit | install | deb) "test_$mode" ;;
*) echo "unknown mode $mode"; exit 1 ;;
esac
[ "$failures" = 0 ] || { echo "$failures check(s) failed"; exit 1; }

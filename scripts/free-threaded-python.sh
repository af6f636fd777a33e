#!/usr/bin/env bash
# Builds a CPython from the source tarball that Debian's source packages carry, once, into a
# cache folder outside the checkout, and prints the interpreter's path as its last line.
#
#   scripts/free-threaded-python.sh [--version 3.13|3.14] [--with-gil] [--tsan]
#
# Default: free-threaded 3.13 (`--disable-gil`). `--with-gil` builds the ordinary interpreter
# (used for 3.14, which this machine does not otherwise have); `--tsan` builds a free-threaded
# interpreter instrumented with ThreadSanitizer, the only kind whose race reports can be trusted
# (an uninstrumented interpreter's allocator reuses memory behind the sanitizer's back).
#
# The mirror is the one apt is configured with. 3.13's tarball is pinned by its sha256; 3.14
# comes from the unstable suite, whose pool drops superseded tarballs, so its current version
# and sha256 are read from that suite's source index at build time. Exit status 3 means no
# tarball could be had (callers skip that interpreter with the message printed).
set -euo pipefail
source "$(dirname "$0")/lib/progress.sh"

version=3.13
gil=disabled
tsan=0
while [ $# -gt 0 ]; do
  case "$1" in
    --version) version=$2; shift 2 ;;
    --with-gil) gil=enabled; shift ;;
    --tsan) tsan=1; shift ;;
    *) echo "usage: $0 [--version 3.13|3.14] [--with-gil] [--tsan]" >&2; exit 2 ;;
  esac
done

cache=${VELTRIX_PYTHON_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/veltrix-python}
flavor=$version
[ "$gil" = disabled ] && flavor+=t
[ "$tsan" = 1 ] && flavor+=-tsan
prefix=$cache/$flavor
interpreter=$prefix/bin/python$version
[ "$gil" = disabled ] && interpreter+=t

if [ -x "$interpreter" ] && [ -f "$prefix/.complete" ]; then
  echo "$interpreter"
  exit 0
fi

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

build_deps=(build-essential pkg-config xz-utils curl libssl-dev zlib1g-dev libffi-dev libbz2-dev
            liblzma-dev libsqlite3-dev libreadline-dev libncurses-dev uuid-dev libgdbm-dev)
missing=()
for p in "${build_deps[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "free-threaded-python: installing ${missing[*]}" >&2
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The first Debian archive URI in apt's own configuration (deb822 or one-line form).
debian_mirror() {
  local files=(/etc/apt/sources.list.d/*.sources /etc/apt/sources.list /etc/apt/sources.list.d/*.list)
  local f uri
  for f in "${files[@]}"; do
    [ -f "$f" ] || continue
    uri=$(grep -hE '^\s*URIs:\s' "$f" 2>/dev/null | awk '{print $2}' | grep -E '/debian/?$' | head -1 || true)
    [ -n "$uri" ] || uri=$(grep -hE '^\s*deb\s' "$f" 2>/dev/null | grep -oE 'https?://[^ ]+/debian/?( |$)' | head -1 || true)
    if [ -n "$uri" ]; then echo "${uri%/}" | tr -d ' '; return 0; fi
  done
  return 1
}

mirror=$(debian_mirror) || { echo "free-threaded-python: no Debian mirror in apt's sources" >&2; exit 3; }

# Candidate tarballs, one "version sha256 pool-directory" line each, newest first. The unstable
# index can list a package twice while a new version migrates (the old stanza stays until every
# architecture has the new one), and the pool may already have dropped the older tarball.
case "$version" in
  3.13)
    candidates="3.13.5 93e583f243454e6e9e4588ca2c2662206ad961659863277afcdb96801647d640 pool/main/p/python3.13"
    ;;
  3.14)
    index=$(mktemp)
    trap 'rm -f "$index"' EXIT
    if ! curl -fsSL --retry 3 "$mirror/dists/unstable/main/source/Sources.xz" | xz -dc >"$index" 2>/dev/null; then
      echo "free-threaded-python: cannot read the unstable suite's source index; no CPython 3.14 to build" >&2
      exit 3
    fi
    # Each python3.14 stanza: its upstream version (epoch and Debian revision removed), the
    # sha256 of its orig tarball and its pool directory.
    candidates=$(awk '
      /^Package: / { pkg = $2; ver = ""; dir = ""; in_sha = 0; delete sha; next }
      pkg != "python3.14" { next }
      /^Version: / { ver = $2; sub(/^[0-9]+:/, "", ver); sub(/-[^-]*$/, "", ver); next }
      /^Directory: / { dir = $2; next }
      /^Checksums-Sha256:/ { in_sha = 1; next }
      /^[^ ]/ { in_sha = 0 }
      in_sha && /^ / && length($1) == 64 { sha[$3] = $1; next }
      /^$/ {
        if (pkg == "python3.14" && ver != "" && dir != "") {
          f = "python3.14_" ver ".orig.tar.xz"
          if (f in sha) print ver, sha[f], dir
        }
        pkg = ""; delete sha
      }
      END {
        if (pkg == "python3.14" && ver != "" && dir != "") {
          f = "python3.14_" ver ".orig.tar.xz"
          if (f in sha) print ver, sha[f], dir
        }
      }' "$index" | sort -u -r -V -k1,1)
    if [ -z "$candidates" ]; then
      echo "free-threaded-python: the unstable suite lists no python3.14 source tarball; no CPython 3.14 to build" >&2
      exit 3
    fi
    ;;
  *) echo "free-threaded-python: unsupported version $version" >&2; exit 2 ;;
esac

work=$cache/src
mkdir -p "$work"
full=
tried=()
while read -r candidate sha256 pool; do
  tried+=("$candidate")
  tarball=$work/python${version}_${candidate}.orig.tar.xz
  if [ -f "$tarball" ] && echo "$sha256  $tarball" | sha256sum -c --status; then
    full=$candidate
    break
  fi
  echo "free-threaded-python: fetching CPython $candidate from $mirror/$pool" >&2
  if ! curl -fsSL --retry 3 -o "$tarball.part" "$mirror/$pool/python${version}_${candidate}.orig.tar.xz"; then
    echo "free-threaded-python: cannot fetch CPython $candidate" >&2
    rm -f "$tarball.part"
    continue
  fi
  if echo "$sha256  $tarball.part" | sha256sum -c --status; then
    mv "$tarball.part" "$tarball"
    full=$candidate
    break
  fi
  echo "free-threaded-python: sha256 of CPython $candidate does not match $sha256" >&2
  rm -f "$tarball.part"
done <<<"$candidates"
if [ -z "$full" ]; then
  echo "free-threaded-python: no CPython $version source tarball could be had (tried ${tried[*]} from $mirror)" >&2
  exit 3
fi

build=$work/build-$flavor
rm -rf "$build" "$prefix"
mkdir -p "$build"
tar -xJf "$tarball" -C "$build" --strip-components=1
configure_args=(--prefix="$prefix" --with-ensurepip=install --disable-test-modules)
[ "$gil" = disabled ] && configure_args+=(--disable-gil)
[ "$tsan" = 1 ] && configure_args+=(--with-thread-sanitizer)
echo "free-threaded-python: building CPython $full ($flavor) into $prefix (a few minutes)" >&2
(
  cd "$build"
  run_logged configure.log configure ./configure "${configure_args[@]}" || { tail -30 configure.log >&2; exit 1; }
  # The instrumented build's own test runs at install time would take long and report the
  # interpreter's known races; build and install only.
  run_logged make.log compile make -j "$(nproc)" || { tail -40 make.log >&2; exit 1; }
  run_logged install.log install make install || { tail -40 install.log >&2; exit 1; }
)
echo "$full" >"$prefix/.complete"
rm -rf "$build"
echo "$interpreter"

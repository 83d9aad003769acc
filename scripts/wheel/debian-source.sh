# Helpers for the wheel build, sourced by its scripts: Debian source packages
# fetched through a private apt state (deb-src entries for the archive this
# machine uses), so the system's apt set-up is left alone; downloads stay in the
# cache folder (scripts/cached-build.sh).
source scripts/cached-build.sh

# The source version of an installed package, e.g. "7:5.1.9-0+deb12u1".
installed_source_version() {
  local version
  version=$(dpkg-query -W -f='${source:Version}' "$1" 2>/dev/null) || true
  if [ -z "$version" ]; then
    echo "package $1 is not installed (scripts/setup.sh installs it)" >&2
    return 1
  fi
  echo "$version"
}

# Debian's own mirrors from the system's sources, as deb-src entries: the
# deb822 files and the one-line list.
debian_source_entries() {
  awk 'BEGIN { RS = ""; ORS = "\n\n" }
       /Types:[^\n]*deb/ && /URIs:[^\n]*\/debian/ { sub(/Types:[^\n]*/, "Types: deb-src"); print }' \
    /etc/apt/sources.list.d/*.sources 2>/dev/null || true
}
debian_source_lines() {
  sed -n 's|^deb \(.*/debian.*\)|deb-src \1|p' /etc/apt/sources.list 2>/dev/null || true
}

apt_source_options() {
  local dir="$1"
  echo "-o Dir::Etc::SourceList=$dir/sources.list -o Dir::Etc::SourceParts=$dir/sources.list.d" \
       "-o Dir::State::Lists=$dir/lists -o Dir::Cache=$dir/cache -o APT::Sandbox::User=root"
}

# fetch_source PACKAGE VERSION DEST: the unpacked source, Debian's patches
# applied, in DEST. The downloads stay in the cache.
fetch_source() {
  local package="$1" version="$2" dest="$3"
  local dir downloads options
  dir="$(vantrel_cache_dir)/apt"
  downloads="$(vantrel_cache_dir)/sources/$package-${version#*:}"
  options=$(apt_source_options "$dir")
  if [ ! -f "$downloads/.complete" ]; then
    mkdir -p "$dir/sources.list.d" "$dir/lists/partial" "$dir/cache/archives/partial"
    debian_source_lines >"$dir/sources.list"
    debian_source_entries >"$dir/sources.list.d/debian-src.sources"
    if [ ! -s "$dir/sources.list" ] && [ ! -s "$dir/sources.list.d/debian-src.sources" ]; then
      echo "no Debian archive found in the apt sources" >&2
      return 1
    fi
    # shellcheck disable=SC2086
    apt-get -q $options update
    rm -rf "$downloads"
    mkdir -p "$downloads"
    # shellcheck disable=SC2086
    (cd "$downloads" && apt-get -q $options source --download-only "$package=$version")
    touch "$downloads/.complete"
  fi
  rm -rf "$dest"
  dpkg-source -x "$downloads"/*.dsc "$dest"
}

# The Debian mirror this machine installs from (its main archive).
debian_mirror() {
  {
    awk 'BEGIN { RS = "" } /Types:[^\n]*deb/ {
           if (match($0, /URIs:[ \t]*[^ \t\n]+\/debian\/?(\n|[ \t])/)) {
             uri = substr($0, RSTART, RLENGTH); sub(/URIs:[ \t]*/, "", uri); gsub(/[ \t\n]/, "", uri); print uri
           } }' /etc/apt/sources.list.d/*.sources 2>/dev/null || true
    sed -n 's|^deb \(\[[^]]*\] \)\{0,1\}\([^ ]*/debian/\{0,1\}\) .*|\2|p' /etc/apt/sources.list 2>/dev/null || true
  } | head -n 1
}

# fetch_package PACKAGE ARCH DEST: Debian's binary package (the archive's
# current version) for the architecture ARCH (amd64, arm64), unpacked into
# DEST. The download stays in the cache; prints its version.
fetch_package() {
  local package="$1" arch="$2" dest="$3"
  local dir downloads options
  dir="$(vantrel_cache_dir)/apt-$arch"
  downloads="$(vantrel_cache_dir)/packages/$package-$arch"
  options="$(apt_source_options "$dir") -o APT::Architecture=$arch -o APT::Architectures=$arch"
  if [ ! -f "$downloads/.complete" ]; then
    mkdir -p "$dir/sources.list.d" "$dir/lists/partial" "$dir/cache/archives/partial"
    sed -n '/^deb /p' /etc/apt/sources.list 2>/dev/null >"$dir/sources.list" || true
    cat /etc/apt/sources.list.d/*.sources >"$dir/sources.list.d/debian.sources" 2>/dev/null || true
    # shellcheck disable=SC2086
    apt-get -qq $options update >&2
    rm -rf "$downloads"
    mkdir -p "$downloads"
    # shellcheck disable=SC2086
    (cd "$downloads" && apt-get -qq $options download "$package:$arch" >&2)
    touch "$downloads/.complete"
  fi
  rm -rf "$dest"
  mkdir -p "$dest"
  dpkg-deb -x "$downloads"/*.deb "$dest"
  dpkg-deb -f "$downloads"/*.deb Version
}

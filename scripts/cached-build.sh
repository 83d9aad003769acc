# The cached builds' common part, sourced by scripts/wheel/static-ffmpeg.sh,
# scripts/wheel/debian-root.sh and scripts/model/build.sh: a build is keyed by
# a text (everything that decides its result) and made once into its own folder
# of the cache, $VANTREL_CACHE_DIR (default ${XDG_CACHE_HOME:-~/.cache}/vantrel).

vantrel_cache_dir() {
  echo "${VANTREL_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/vantrel}"
}

# cached_build NAME KEY_TEXT: takes the lock of NAME (held until the script
# exits) and sets `cache` (the cache folder) and `cached`, the build's folder
# $cache/NAME-<the key's sha256, 12 digits>. When that build is complete, prints
# the folder and exits; otherwise empties it for the script to build into and
# returns; the script ends with cached_build_done.
cached_build() {
  local name="$1"
  cached_key="$2"
  cache="$(vantrel_cache_dir)"
  mkdir -p "$cache"
  exec 9>"$cache/$name.lock"
  flock 9
  cached="$cache/$name-$(printf '%s' "$cached_key" | sha256sum | cut -c1-12)"
  if [ -f "$cached.complete" ]; then
    echo "$cached"
    exit 0
  fi
  rm -rf "$cached"
}

# cached_build_done: marks the build complete (its key beside it) and prints its folder.
cached_build_done() {
  printf '%s\n' "$cached_key" >"$cached.complete"
  echo "$cached"
}

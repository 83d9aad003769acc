#!/usr/bin/env bash
# Builds the static FFmpeg that the wheel links into its extensions, for
# glibc 2.17 on x86-64 or aarch64 (scripts/wheel/zig-toolchain.sh), and prints its
# prefix. FFmpeg, dav1d and zlib come from Debian's source packages, at the
# versions of the system libraries the default build links, so both builds
# decode alike. The prefix is cached (scripts/cached-build.sh), keyed by the
# source versions, the toolchain and the configure lines: a second call only
# prints it.
# Usage: scripts/wheel/static-ffmpeg.sh [--arch x86_64|aarch64]   (build log in
#        the cache; Zig in .venv, which scripts/wheel/build.sh installs)
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/wheel/debian-source.sh
source scripts/wheel/zig-toolchain.sh

arch="$(arch_option "$@")"
target="$(zig_target "$arch")"

ffmpeg_version="$(installed_source_version libavcodec-dev)"
dav1d_version="$(installed_source_version libdav1d6)"
zlib_version="$(installed_source_version zlib1g)"

# Demuxers for the common containers, raw video streams and images.
demuxers="mov,matroska,avi,mpegts,mpegps,mpegvideo,m4v,flv,ogg,nut,mxf,yuv4mpegpipe,h261,h263,h264,hevc,obu,av1,ivf,mjpeg,vc1,asf,dv,rm,gif,apng,image2,image2pipe"

ffmpeg_options() {
  local prefix="$1" tools="$2"
  # Debian's toolchain flags (hardened) so the decoders run as fast as the
  # system build's; position-independent code for the shared extensions.
  echo "--prefix=$prefix --toolchain=hardened --enable-pic --enable-static --disable-shared"
  echo "--enable-cross-compile --arch=$arch --target-os=linux --cc=$tools/cc --cxx=$tools/c++"
  echo "--ar=$tools/ar --ranlib=$tools/ranlib --host-cc=gcc --pkg-config=pkg-config"
  echo "--disable-debug --disable-doc --disable-programs --disable-autodetect --disable-everything"
  echo "--disable-avdevice --disable-avfilter --disable-swresample --disable-postproc --disable-network"
  echo "--enable-avcodec --enable-avformat --enable-swscale --enable-zlib --enable-libdav1d"
  # CUDA through FFmpeg's loader headers: libcuda is opened at run time.
  echo "--enable-ffnvcodec --enable-cuda --enable-nvdec"
  echo "--enable-parsers --enable-protocol=file,pipe"
  # No contraction: aarch64 has fused multiply-add in its baseline.
  echo "--pkg-config-flags=--static --extra-cflags=-I$prefix/include --extra-cflags=-ffp-contract=off"
  echo "--extra-ldflags=-L$prefix/lib"
}

# Components read from the source, so fixed by its version: every native
# video decoder (the part of the codec table before the audio codecs), the
# AV1 decoder behind the NVDEC hook, dav1d (which the system build prefers
# for AV1), the NVDEC hooks and the image demuxers.
ffmpeg_source_components() {
  local src="$1"
  local decoders hwaccels image_pipes
  decoders=$(sed -n '1,/\/\* audio codecs \*\//p' "$src/libavcodec/allcodecs.c" |
               grep -o 'ff_[a-z0-9_]*_decoder' | sed 's/^ff_//; s/_decoder$//' | paste -sd,)
  hwaccels=$(grep -o 'ff_[a-z0-9_]*_nvdec_hwaccel' "$src/libavcodec/hwaccels.h" |
               sed 's/^ff_//; s/_hwaccel$//' | paste -sd,)
  image_pipes=$(grep -o 'ff_image_[a-z0-9_]*_pipe_demuxer' "$src/libavformat/allformats.c" |
                  sed 's/^ff_//; s/_demuxer$//' | paste -sd,)
  echo "--enable-decoder=$decoders,av1,libdav1d --enable-hwaccel=$hwaccels"
  echo "--enable-demuxer=$demuxers,$image_pipes"
}

zlib_options="--static"
zlib_cflags="-O2 -fPIC"
dav1d_options="--buildtype=release --default-library=static -Db_staticpic=true -Denable_tools=false -Denable_tests=false -Denable_examples=false -Dc_args=-ffp-contract=off"

# meson's description of the target for dav1d.
dav1d_cross_file() {
  local tools="$1"
  printf '[binaries]\nc = '"'%s'"'\nar = '"'%s'"'\nnasm = '"'nasm'"'\n' "$tools/cc" "$tools/ar"
  printf '[host_machine]\nsystem = '"'linux'"'\ncpu_family = '"'%s'"'\ncpu = '"'%s'"'\nendian = '"'little'"'\n' \
    "$arch" "$arch"
}

# The key: source versions, toolchain and target, and configure lines.
upstream="${ffmpeg_version#*:}"
upstream="${upstream%%-*}"
cached_build "ffmpeg-$upstream-$arch" "ffmpeg $ffmpeg_version dav1d $dav1d_version zlib $zlib_version
zig $zig_version -target $target
zlib $zlib_options $zlib_cflags
dav1d $dav1d_options
ffmpeg $(ffmpeg_options PREFIX TOOLS | tr '\n' ' ') $demuxers"
prefix="$cached"

work="$cache/build-static-ffmpeg-$arch"
log="$cache/static-ffmpeg-$arch.log"
rm -rf "$work"
mkdir -p "$work"
: >"$log"
echo "static-ffmpeg: building FFmpeg $ffmpeg_version, dav1d $dav1d_version and zlib $zlib_version into $prefix (log: $log)" >&2
trap 'echo "static-ffmpeg: failed; last lines of $log:" >&2; tail -n 30 "$log" >&2' ERR
jobs=$(nproc)
tools="$(zig_tools "$arch" "$work/tools")"
# Only the prefix's pkg-config files: nothing of the build machine's.
export PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" PKG_CONFIG_PATH=""

# FFmpeg's CUDA loader headers (libffmpeg-nvenc-dev), which the target's
# compiler finds only in the prefix.
mkdir -p "$prefix/include" "$prefix/lib/pkgconfig"
cp -r /usr/include/ffnvcodec "$prefix/include/"
sed "s|^prefix=.*|prefix=$prefix|" /usr/share/pkgconfig/ffnvcodec.pc >"$prefix/lib/pkgconfig/ffnvcodec.pc"

fetch_source zlib "$zlib_version" "$work/zlib" >>"$log" 2>&1
(cd "$work/zlib" && CC="$tools/cc" AR="$tools/ar" RANLIB="$tools/ranlib" CFLAGS="$zlib_cflags" \
   ./configure $zlib_options --prefix="$prefix" && make -j"$jobs" install) >>"$log" 2>&1

fetch_source dav1d "$dav1d_version" "$work/dav1d" >>"$log" 2>&1
dav1d_cross_file "$tools" >"$work/dav1d-cross.ini"
(cd "$work/dav1d" && meson setup build --cross-file "$work/dav1d-cross.ini" --prefix="$prefix" --libdir=lib \
   $dav1d_options && ninja -C build -j"$jobs" install) >>"$log" 2>&1

fetch_source ffmpeg "$ffmpeg_version" "$work/ffmpeg" >>"$log" 2>&1
# configure finds sysctl() by linking alone, but glibc's <sys/sysctl.h> is
# gone from the target's headers: it must find the header too.
sed -i 's|^check_func  sysctl$|check_func_headers "sys/types.h sys/sysctl.h" sysctl|' "$work/ffmpeg/configure"
grep -q 'check_func_headers "sys/types.h sys/sysctl.h" sysctl' "$work/ffmpeg/configure"
line=$( { ffmpeg_options "$prefix" "$tools"; ffmpeg_source_components "$work/ffmpeg"; } | tr '\n' ' ')
(cd "$work/ffmpeg" && ./configure $line && make -j"$jobs" && make install) >>"$log" 2>&1

rm -rf "$work"
echo "static-ffmpeg: done" >&2
cached_build_done

#!/usr/bin/env bash
# Installs tessella into a temporary prefix, then builds and runs the examples against the
# installed package: with CMake (find_package) and with pkg-config, each against the shared and
# against the static library (whose programs must not need libtessella.so), and with pkg-config
# and an rpath.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in include/tessella/tessella.h include/tessella/tessella.hpp \
         lib/libtessella.a lib/libtessella.so lib/pkgconfig/tessella.pc \
         lib/cmake/tessella/tessellaConfig.cmake share/doc/tessella/LICENSE; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; echo "0 passed, 1 failed"; exit 1; }
done

# The tool, when built, comes with its completions and man page.
if [ -e "$prefix/bin/tessella" ]; then
  for f in share/bash-completion/completions/tessella share/zsh/site-functions/_tessella \
           share/man/man1/tessella.1; do  # the man page writes its dashes as \-
    grep -q -e "--trust-issuer" -e 'trust\\-issuer' "$prefix/$f" ||
      { echo "not installed or incomplete: $f"; echo "0 passed, 1 failed"; exit 1; }
  done
fi

# CMake consumer.
cmake -S "$src/examples" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/cmake-build" -j2 >/dev/null
LD_LIBRARY_PATH="$prefix/lib" "$work/cmake-build/seal_grant_open_cpp" >/dev/null
LD_LIBRARY_PATH="$prefix/lib" "$work/cmake-build/seal_grant_open_c" >/dev/null
cmake -S "$src/examples" -B "$work/cmake-static" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_BUILD_TYPE=Release -DTESSELLA_EXAMPLES_LINK=static >/dev/null
cmake --build "$work/cmake-static" -j2 >/dev/null
static_only() {  # runs a program that must not load the shared library
  if ldd "$1" | grep -q libtessella; then echo "$1 loads libtessella.so"; echo "0 passed, 1 failed"; exit 1; fi
  "$1" >/dev/null
}
static_only "$work/cmake-static/seal_grant_open_cpp"
static_only "$work/cmake-static/seal_grant_open_c"

# pkg-config consumer.
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
cc -std=c99 -o "$work/c_example" "$src/examples/seal_grant_open.c" $(pkg-config --cflags --libs tessella)
c++ -std=c++23 -o "$work/cpp_example" "$src/examples/seal_grant_open.cpp" $(pkg-config --cflags --libs tessella)
LD_LIBRARY_PATH="$prefix/lib" "$work/c_example" >/dev/null
LD_LIBRARY_PATH="$prefix/lib" "$work/cpp_example" >/dev/null
# As the README shows it: an rpath to pkg-config's libdir, so that no LD_LIBRARY_PATH is needed.
cc -std=c99 -o "$work/c_rpath" "$src/examples/seal_grant_open.c" $(pkg-config --cflags --libs tessella) \
   -Wl,-rpath,"$(pkg-config --variable=libdir tessella)"
env -u LD_LIBRARY_PATH "$work/c_rpath" >/dev/null
# Statically: the archive named, its private requirements from the .pc file.
static_libs=$(pkg-config --static --libs tessella | sed 's/-ltessella//')
cc -std=c99 -o "$work/c_static" "$src/examples/seal_grant_open.c" $(pkg-config --cflags tessella) \
   "$prefix/lib/libtessella.a" $static_libs
static_only "$work/c_static"
echo "8 passed, 0 failed"

#!/usr/bin/env bash
# Installs a build into a temporary prefix and uses it as another project would: the CMake
# package (examples/consumer), the pkg-config file, and the Debian packages cpack makes.
#
#   check-install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(realpath "$1")
source=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "FAIL: $*" >&2; exit 1; }
# Runs a command quietly, showing its output when it fails.
quiet() { "$@" >"$work/log" 2>&1 || { cat "$work/log" >&2; fail "$*"; }; }

quiet cmake --install "$build" --prefix "$prefix"
libdir=$(find "$prefix" -name SkeinworkConfig.cmake -printf '%h\n' | sed 's|/cmake/Skeinwork$||')
[[ -n $libdir ]] || fail "no SkeinworkConfig.cmake installed"
for file in bin/skeinwork include/skeinwork/skeinwork.h include/skeinwork/SwRunner.h include/skeinwork/SwCore.h; do
  [[ -e $prefix/$file ]] || fail "$file is not installed"
done
[[ -e $libdir/pkgconfig/skeinwork.pc ]] || fail "skeinwork.pc is not installed"
for internal in SwFileIo.h SwAllocator.h MergeMachine.h; do
  [[ ! -e $prefix/include/skeinwork/$internal ]] || fail "internal header $internal is installed"
done

# The CMake package: find_package(Skeinwork) and the umbrella target.
quiet cmake -S "$source/examples/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix"
quiet cmake --build "$work/consumer"
output=$("$work/consumer/count_nodes" "$source/examples/riff-wav.sw" "$source/examples/sample.wav")
[[ $output =~ ^[0-9]+\ nodes$ ]] || fail "consumer printed '$output'"
status=0
error=$("$work/consumer/count_nodes" "$source/examples/riff-wav.sw" "$source/examples/sample.png" 2>&1) || status=$?
[[ $status == 1 && $error == *"at offset "* ]] || fail "consumer on a mismatch: exit $status, '$error'"

# pkg-config, without CMake.
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
quiet g++ -o "$work/count_nodes_pc" "$source/examples/consumer/count_nodes.cpp" $(pkg-config --cflags --libs skeinwork)
[[ $("$work/count_nodes_pc" "$source/examples/riff-wav.sw" "$source/examples/sample.wav") == "$output" ]] ||
  fail "the pkg-config build prints another count"

# The Debian packages: the program, and the files to build against the library.
(cd "$work" && quiet cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb")
program=$(ls "$work"/deb/skeinwork_*.deb)
development=$(ls "$work"/deb/libskeinwork-dev_*.deb)
# Listed once: grep -q stops reading early, which would break a pipe from dpkg-deb.
program_contents=$(dpkg-deb --contents "$program")
grep -q '\./usr/bin/skeinwork$' <<<"$program_contents" || fail "the program package lacks usr/bin/skeinwork"
[[ $(dpkg-deb -f "$program" Depends) == *libc6* ]] || fail "the program package declares no dependencies"
# The viewer, when the build has it: the program, its menu entry and the file types it opens.
if [[ -e $build/src/viewer/app/weftview ]]; then
  for file in bin/weftview share/applications/weftview.desktop share/mime/packages/skeinwork-weftview.xml; do
    [[ -e $prefix/$file ]] || fail "$file is not installed"
    grep -q "\./usr/$file\$" <<<"$program_contents" || fail "the program package lacks usr/$file"
  done
  [[ $(dpkg-deb -f "$program" Depends) == *libqt6widgets6* ]] || fail "the program package does not depend on Qt"
fi
contents=$(dpkg-deb --contents "$development")
for file in include/skeinwork/skeinwork.h cmake/Skeinwork/SkeinworkConfig.cmake pkgconfig/skeinwork.pc \
            libskeinwork_core; do
  grep -q "$file" <<<"$contents" || fail "the development package lacks $file"
done
[[ $(dpkg-deb -f "$development" Depends) == *libicu-dev* ]] || fail "the development package does not depend on ICU"

# The Python module, when the build has it: installed into site-packages under the prefix,
# importable from there, and in its own Debian package.
if compgen -G "$build/python/skeinwork*.so" >/dev/null; then
  module=$(find "$prefix" -name 'skeinwork*.so' -path '*-packages/*')
  [[ -n $module ]] || fail "the Python module is not installed into site-packages"
  [[ $(cd "$work" && PYTHONPATH=$(dirname "$module") python3 -c 'import skeinwork; print(skeinwork.__version__)') =~ ^[0-9] ]] ||
    fail "the installed Python module does not import"
  python_contents=$(dpkg-deb --contents "$(ls "$work"/deb/python3-skeinwork_*.deb)")
  grep -q '/usr/lib/python3.*/skeinwork.*\.so$' <<<"$python_contents" ||
    fail "the python3-skeinwork package lacks the module"
fi
echo "installed, consumed and packaged"

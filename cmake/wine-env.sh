# Sourced by the scripts that run Windows programs: a private 64-bit Wine
# prefix under the build tree, no debug noise, no Mono/Gecko installer.
KA_BUILD_DIR="${KA_BUILD_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build}"
export WINEPREFIX="${WINEPREFIX:-$KA_BUILD_DIR/wineprefix}"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# Debian's wine wrapper asks for the 32-bit loader; our programs are 64-bit.
if [ -x /usr/lib/wine/wine64 ]; then
  KA_WINE=/usr/lib/wine/wine64
else
  KA_WINE=wine
fi

# Sourced by the Wine tests: finds Wine and its server and sets up the
# environment for a prefix of their own.
#
#   wine_env PREFIX WHAT   sets wine, wineserver and the WINE* variables;
#                          exits 77 (a skip) saying WHAT cannot run when
#                          Wine is not installed
wine_env() {
    local prefix=$1 what=$2
    wine=$(command -v wine64 || command -v wine || true)
    [[ -z $wine && -x /usr/lib/wine/wine64 ]] && wine=/usr/lib/wine/wine64
    if [[ -z $wine ]]; then
        echo "SKIP: Wine is not installed, so $what cannot run (scripts/install-deps.sh installs wine64)"
        exit 77
    fi
    wineserver=$(command -v wineserver || true)
    [[ -z $wineserver && -x /usr/lib/wine/wineserver64 ]] && wineserver=/usr/lib/wine/wineserver64
    [[ -z $wineserver ]] && wineserver=$(dirname "$wine")/wineserver
    unset DISPLAY WAYLAND_DISPLAY
    export WINEPREFIX=$prefix WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
}

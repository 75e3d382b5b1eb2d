# Sourced by the scripts that run programs under Wine: the project's Wine settings.
# WINEPREFIX must be set by the caller (a prefix inside the build tree, never the user's own).
export LC_ALL=ja_JP.UTF-8          # Wine's ANSI code page becomes 932, as on the target systems
export WINEDEBUG=${WINEDEBUG:--all}
export WINEARCH=${WINEARCH:-win64}
# No Mono or Gecko installer prompts while a prefix is created.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

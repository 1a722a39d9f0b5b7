"""No Debian install schemes on pyenv interpreters: meson then falls back to sysconfig."""
INSTALL_SCHEMES = {}

# Sourced by the scripts once they have changed to the checkout: sets build to the
# absolute path of the build folder, TARNWELL_BUILD_DIR (absolute, or relative to the
# checkout) or build/.
build=${TARNWELL_BUILD_DIR:-build}
case $build in
  /*) ;;
  *) build=$PWD/$build ;;
esac

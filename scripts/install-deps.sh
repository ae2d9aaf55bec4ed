#!/bin/sh
# Installs the Debian packages the project needs to build, test, benchmark and fuzz, to check the
# formatting of its C++ and CMake files (clang-format, cmake-format), to make and check its manual
# pages and Debian package (go-md2man, man-db, lintian; ccache keeps the package's second build
# cheap), and to run the Slurm test cluster (slurmctld, slurmd, slurm-client, munge).
set -e
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends \
    build-essential cmake ninja-build pkg-config clang clang-format cmake-format ccache \
    libgtest-dev libgmock-dev libbenchmark-dev uuid-dev liblz4-dev nlohmann-json3-dev libsystemd-dev \
    libxml2-dev libexpected-dev chromium fonts-dejavu-core go-md2man man-db lintian \
    slurmctld slurmd slurm-client munge \
    libcpp-httplib-dev libhiredis-dev libsqlite3-dev libssl-dev redis-server

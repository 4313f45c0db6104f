# SPDX-License-Identifier: MIT
# Read by cpack as it packs: the files in the package carry the source's time (see
# CMakeLists.txt), so that two builds of one source give the same package.
set(ENV{SOURCE_DATE_EPOCH} "${CPACK_SOURCE_DATE_EPOCH}")

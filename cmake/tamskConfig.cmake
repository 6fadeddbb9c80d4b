# SPDX-FileCopyrightText: 2026 tamsk developers
# SPDX-License-Identifier: MIT
# CMake package tamsk: imported static libraries tamsk::osusrcomm,
# tamsk::apcfgcommon and tamsk::osslnxadaptconfig. Each one brings what it
# calls, so linking any one of them is enough.
include("${CMAKE_CURRENT_LIST_DIR}/tamskTargets.cmake")

# Turns the factory files into C++ text constants.
file(READ ${PROFILE} profile)
file(READ ${DHCP} dhcp)
file(WRITE ${OUT} "// Generated from sim/factory; do not edit.\n#include <string>\n"
  "std::string factory_profile_text();\nstd::string factory_dhcp_text();\n"
  "std::string factory_profile_text() { return R\"wlinkfactory(${profile})wlinkfactory\"; }\n"
  "std::string factory_dhcp_text() { return R\"wlinkfactory(${dhcp})wlinkfactory\"; }\n")

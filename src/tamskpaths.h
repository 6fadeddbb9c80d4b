/* Fixed locations of the controller: the ioctl helper socket and the
   topology configuration file. Nothing at run time changes them. */
#ifndef TAMSKPATHS_H
#define TAMSKPATHS_H

#define TAMSK_HELPER_SOCKET "/home/tamsk/ioctl"
#define TAMSK_CONFIG_FILE   "/home/tamsk/config/apConfig.dat"

#endif

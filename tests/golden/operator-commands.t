$ storetopology -a B00 -p 1 -t 2 -x
storetopology: invalid option -- 'x'
Try 'storetopology --help' for more information.
[2]
$ storetopology -a 0 -p 1 -t 2
storetopology: invalid value for -a: 0
Try 'storetopology --help' for more information.
[2]
$ storetopology -a B00 -p 256 -t 2
storetopology: invalid value for -p: 256
Try 'storetopology --help' for more information.
[2]
$ storetopology -a B00 -p '' -t 2
storetopology: invalid value for -p: 
Try 'storetopology --help' for more information.
[2]
$ storetopology -a B00 -p 1 -t 5
storetopology: invalid value for -t: 5
Try 'storetopology --help' for more information.
[2]
$ storetopology -w '' -a B00 -p 1 -t 2
storetopology: invalid value for -w: 
Try 'storetopology --help' for more information.
[2]
$ storetopology -w -1 -a B00 -p 1 -t 2
storetopology: invalid value for -w: -1
Try 'storetopology --help' for more information.
[2]
$ storetopology -a B00 -p 1
storetopology: -a or -l, -p and -t are required
Try 'storetopology --help' for more information.
[2]
$ storetopology -p 1 -t 2
storetopology: -a or -l, -p and -t are required
Try 'storetopology --help' for more information.
[2]
$ storetopology -a B00 -t 2
storetopology: -a or -l, -p and -t are required
Try 'storetopology --help' for more information.
[2]
$ storetopology -l wyrafc0000 -p 1 -t 2
storetopology: invalid value for -l: wyrafc0000
Try 'storetopology --help' for more information.
[2]
$ storetopology -l B00 -p 1 -t 2
storetopology: invalid value for -l: B00
Try 'storetopology --help' for more information.
[2]
$ storetopology -a B00 -l wyrafc000 -p 1 -t 2
storetopology: -a and -l exclude each other
Try 'storetopology --help' for more information.
[2]
$ storetopology -a B00 -p 1 -t 2 x
storetopology: unexpected argument: x
Try 'storetopology --help' for more information.
[2]
$ storetopology -V
storetopology (tamsk) {version}
[0]
$ storetopology --help

Usage:
 storetopology [options] -a <id> -p <port> -t <value>

Store the link topology value of one adapter port.

Options:
 -a, --adapter <id>       adapter id, hexadecimal (1 to FFFF)
 -l, --logical <name>     the id that the report of this logical name uses
 -p, --port <port>        port number (0 to 255)
 -t, --topology <value>   0 unknown, 1 open point-to-point, 2 FC-AL,
                          3 FICON point-to-point, 4 open FICON point-to-point
 -v, --verbose            report every step to the controller's message log
 -w, --wait <seconds>     wait at most this long for another store to finish (default 10)
 -h, --help               display this help and exit
 -V, --version            display version and exit

For more details see storetopology(1).
[0]
$ tamskdev -x
tamskdev: invalid option -- 'x'
Try 'tamskdev --help' for more information.
[2]
$ tamskdev read
tamskdev: missing operand
Try 'tamskdev --help' for more information.
[2]
$ tamskdev read a b
tamskdev: too many operands
Try 'tamskdev --help' for more information.
[2]
$ tamskdev copy a
tamskdev: unknown command: copy
Try 'tamskdev --help' for more information.
[2]
$ tamskdev -V
tamskdev (tamsk) {version}
[0]
$ tamskdev --help

Usage:
 tamskdev [options] read <name>
 tamskdev [options] write <name>

Copy a device to standard output (read), or standard input to it (write).

Options:
 -h, --help               display this help and exit
 -V, --version            display version and exit

For more details see tamskdev(1).
[0]
# no helper
$ tamskdev read dev0
ERROR: Dev Open connect rc: -1, curSock: {fd}, errno: 2
Failed to open/connect to ZARUD socket - -1
[6]
# no configuration directory (the largest values are taken)
$ storetopology -a FFFF -p 255 -t 4
storetopology: configuration directory /home/tamsk/config: missing; the ioctl helper makes it when it starts
[1]

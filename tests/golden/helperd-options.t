# the helper path is a directory: a helper that wrongly starts exits 1
$ ioctlhelperd -V
ioctlhelperd (tamsk) {version}
[0]
$ ioctlhelperd --help

Usage:
 ioctlhelperd [options]

Stand-in ioctl helper and adapter AP code for the tamsk tools.

Options:
 -m, --model <file>       adapter model file, replacing the built-in adapters
 -l, --log <file>         append the event log to <file>, not standard output
 -d, --device-dir <dir>   stream devices (default /home/tamsk/devices)
 -g, --group <group>      group of the socket, a name or a number
 -M, --mode <mode>        permissions of the socket, octal (for example 660)
 -s, --sysfs <dir>        answer status queries from <dir>/class/fc_host (e.g. /sys)
 -h, --help               display this help and exit
 -V, --version            display version and exit

For more details see ioctlhelperd(8).
[0]
$ ioctlhelperd
ioctlhelperd: cannot listen on /home/tamsk/ioctl: Is a directory
[1]
$ ioctlhelperd -x
ioctlhelperd: unknown option '-x'
Try 'ioctlhelperd --help' for more information.
[2]
$ ioctlhelperd --mode 8
ioctlhelperd: bad mode '8'
Try 'ioctlhelperd --help' for more information.
[2]
$ ioctlhelperd -M 1000
ioctlhelperd: bad mode '1000'
Try 'ioctlhelperd --help' for more information.
[2]
$ ioctlhelperd -M 0
ioctlhelperd: cannot listen on /home/tamsk/ioctl: Is a directory
[1]
$ ioctlhelperd -g no-such-group
ioctlhelperd: unknown group 'no-such-group'
Try 'ioctlhelperd --help' for more information.
[2]
$ ioctlhelperd --group
ioctlhelperd: missing argument for '--group'
Try 'ioctlhelperd --help' for more information.
[2]
$ ioctlhelperd -l /home/helperd.log extra
ioctlhelperd: unexpected argument 'extra'
Try 'ioctlhelperd --help' for more information.
[2]
$ ioctlhelperd -m /x
ioctlhelperd: cannot open model file /x: No such file or directory
[2]

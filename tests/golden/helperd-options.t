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
     --pin <name>=<dev>   give logical name <name> to the adapter at <dev> (e.g. 0000:3b:00)
     --list               list the adapters served and exit
     --connections <n>    connections served at once (default 1024)
     --busy <n>           connections beyond them answered busy (default 64)
     --per-user <n>       connections of one user at most (default 256)
     --per-process <n>    connections of one process at most (default 64)
     --deadline <s>       seconds for a whole request (default 5)
     --idle <s>           seconds for a request to start (default 30)
     --budget <bytes>     packet buffers of all connections (default 33554432)
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
$ ioctlhelperd --connections 0
ioctlhelperd: bad value for --connections '0'
Try 'ioctlhelperd --help' for more information.
[2]
$ ioctlhelperd --deadline 1s
ioctlhelperd: bad value for --deadline '1s'
Try 'ioctlhelperd --help' for more information.
[2]
$ ioctlhelperd --budget 1e99
ioctlhelperd: bad value for --budget '1e99'
Try 'ioctlhelperd --help' for more information.
[2]
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
$ ioctlhelperd -l /home/no/such/log
ioctlhelperd: cannot open log file /home/no/such/log: No such file or directory
[1]
$ ioctlhelperd -m /x
ioctlhelperd: cannot open model file /x: No such file or directory
[2]
# model files: the good lines of the served model then a bad one; a bad line alone
$ ioctlhelperd -m {data}/models/ports-256.model
ioctlhelperd: {data}/models/ports-256.model:8: bad "ports=256"
[2]
$ ioctlhelperd -m {data}/models/topo-5.model
ioctlhelperd: {data}/models/topo-5.model:1: bad "topo=1,2,3,4,0"
[2]
$ ioctlhelperd -m {data}/models/loc-16.model
ioctlhelperd: {data}/models/loc-16.model:1: bad "loc=BAY1-SLOT3-ABCDE"
[2]
$ ioctlhelperd -m {data}/models/wwpn-15.model
ioctlhelperd: {data}/models/wwpn-15.model:1: bad "wwpn=10000ABCDEF0001"
[2]
$ ioctlhelperd -m {data}/models/colour.model
ioctlhelperd: {data}/models/colour.model:1: bad "colour=red"
[2]
$ ioctlhelperd -m {data}/models/no-adapter.model
ioctlhelperd: {data}/models/no-adapter.model:1: bad adapter "id=0xB00"
[2]
$ ioctlhelperd -m {data}/models/adapter-10.model
ioctlhelperd: {data}/models/adapter-10.model:1: bad adapter "wyrafc0001"
[2]
$ ioctlhelperd -m {data}/models/line-1023.model
ioctlhelperd: {data}/models/line-1023.model:1: line longer than 1022 characters
[2]

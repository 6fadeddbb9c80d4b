# the inventory of each tree: the current layout with virtual ports and FCoE hosts, the older layout, a
# copy without device links, VIO and ccw hosts under a linked class/fc_host
$ ioctlhelperd --sysfs /home/sysfs --list
fc_host host3 passed over: under ctlr_0, not a PCI, VIO or ccw device
fc_host host4 passed over: under ctlr_1, not a PCI, VIO or ccw device
wyrafc000 id 0xB00 at 0000:3b:00: port 0 host6 0x21000a0b0c0d0e10 Online (3 virtual), port 1 host5 0x21000a0b0c0d0e11 Linkdown
wyrafc001 id 0xB06 at 0000:5e:00: port 0 host2 0x21000a0b0c0d0e30 Offline (9 virtual)
[0]
$ ioctlhelperd --sysfs /home/old --list
fc_host host3 passed over: under ctlr_0, not a PCI, VIO or ccw device
fc_host host4 passed over: under ctlr_1, not a PCI, VIO or ccw device
wyrafc000 id 0xB00 at 0000:3b:00: port 0 host6 0x21000a0b0c0d0e10 Online (3 virtual), port 1 host5 0x21000a0b0c0d0e11 Linkdown
wyrafc001 id 0xB06 at 0000:5e:00: port 0 host2 0x21000a0b0c0d0e30 Offline (9 virtual)
[0]
$ ioctlhelperd --sysfs /home/copy --list
fc_host host2 passed over: a directory without a device link
fc_host host3 passed over: a directory without a device link
fc_host host4 passed over: a directory without a device link
fc_host host5 passed over: a directory without a device link
fc_host host6 passed over: a directory without a device link
fc_host host20 passed over: a directory without a device link
fc_host host21 passed over: a directory without a device link
fc_host host22 passed over: a directory without a device link
fc_host host50 passed over: a directory without a device link
fc_host host51 passed over: a directory without a device link
fc_host host52 passed over: a directory without a device link
fc_host host53 passed over: a directory without a device link
fc_host host54 passed over: a directory without a device link
fc_host host55 passed over: a directory without a device link
fc_host host56 passed over: a directory without a device link
fc_host host57 passed over: a directory without a device link
1 more fc_host entries passed over
no adapter under /home/copy
[0]
$ ioctlhelperd --sysfs /home/sysfs-vio --list
wyrafc000 id 0xB00 at 30000003: port 0 host0 0x21000a0b0c0d0e50 Online
wyrafc001 id 0xB06 at 30000004: port 0 host1 0x21000a0b0c0d0e51 Linkdown
wyrafc002 id 0xB06 at 0.0.1900: port 0 host2 0x21000a0b0c0d0e60 Online
[0]
# a pin takes its name out of the ranking, whether its device is there or not
$ ioctlhelperd --sysfs /home/sysfs --pin wyrafc000=0000:5e:00 --list
fc_host host3 passed over: under ctlr_0, not a PCI, VIO or ccw device
fc_host host4 passed over: under ctlr_1, not a PCI, VIO or ccw device
wyrafc000 id 0xB00 at 0000:5e:00: port 0 host2 0x21000a0b0c0d0e30 Offline (9 virtual)
wyrafc001 id 0xB06 at 0000:3b:00: port 0 host6 0x21000a0b0c0d0e10 Online (3 virtual), port 1 host5 0x21000a0b0c0d0e11 Linkdown
[0]
$ ioctlhelperd --sysfs /home/sysfs --pin wyrafc000=0000:99:00 --pin=wyrafc002=0000:3B:00 --list
fc_host host3 passed over: under ctlr_0, not a PCI, VIO or ccw device
fc_host host4 passed over: under ctlr_1, not a PCI, VIO or ccw device
wyrafc000 pinned to 0000:99:00: not found
wyrafc001 id 0xB06 at 0000:5e:00: port 0 host2 0x21000a0b0c0d0e30 Offline (9 virtual)
wyrafc002 id 0xB06 at 0000:3b:00: port 0 host6 0x21000a0b0c0d0e10 Online (3 virtual), port 1 host5 0x21000a0b0c0d0e11 Linkdown
[0]
# bad pins: a name beyond the 64, no device, a device pinned twice, no tree
$ ioctlhelperd --pin wyrafc064=0000:5e:00
ioctlhelperd: bad pin 'wyrafc064=0000:5e:00'
Try 'ioctlhelperd --help' for more information.
[2]
$ ioctlhelperd --pin wyrafc001=
ioctlhelperd: bad pin 'wyrafc001='
Try 'ioctlhelperd --help' for more information.
[2]
$ ioctlhelperd --pin wyrafc001=0000:5e:00 --pin wyrafc002=0000:5E:00
ioctlhelperd: bad pin 'wyrafc002=0000:5E:00'
Try 'ioctlhelperd --help' for more information.
[2]
$ ioctlhelperd --pin wyrafc000=0000:3b:00 --list
ioctlhelperd: --pin needs '--sysfs'
Try 'ioctlhelperd --help' for more information.
[2]
$ ioctlhelperd --sysfs /nonexistent --list
ioctlhelperd: warning: /nonexistent holds no class/fc_host (No such file or directory)
[1]
$ ioctlhelperd --sysfs /home/tamsk --list
ioctlhelperd: warning: /home/tamsk holds no class/fc_host (No such file or directory)
[1]
$ ioctlhelperd -m {data}/models/query.model --list
wyrafc000 id 0xB00 at BAY1-SLOT3: port 0 10000ABCDEF00001 not online, port 1 10000ABCDEF00002 Online, port 2 10000ABCDEF00003 not online, port 3 10000ABCDEF00004 Online
wyrafc001 id 0x0 at -
wyrafc002 id 0x0 at -: port 0 0000000000000000 not online
wyrafc003 id 0x0 at -: port 0 0000000000000000 not online, port 1 0000000000000000 not online, port 2 0000000000000000 not online, port 3 0000000000000000 not online, 196 ports more
wyrafc050 id 0x0 at -; answers ioctl 53
wyrafc060 id 0x0 at -; answers ioctl 6
wyrafc070 id 0x0 at -; answers ioctl -1
wyrafc080 id 0x0 at -; answers returnCode 5
[0]

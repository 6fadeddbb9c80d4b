# a link loop, links out of the tree to a lower PCI address (direct, absolute, through a linked
# directory), 65 adapters on bus 80, one at a lower address 35 directories deep, 2100 more virtual
# ports of wyrafc001 (the hosts past 2048 go by number), class directories as copies hold them;
# wyrafc001's port name is a 1 GiB file and its symbolic name a FIFO
$ queryadapterquor -l wyrafc001 -p 0
Results from calling apQueryHaPortPhysCfg() for wyrafc001 
adapter wyrafc001 port 0 (host2): port name 0x21000a0b0c0d0e31; port id 0x000000; state Offline; type Unknown; speed unknown; fabric name 0x0; virtual ports (1968): host50 0x2200000a0b0c0d50 Online, host51 0x2200000a0b0c0d51 Online, host52 0x2200000a0b0c0d52 Online, host53 0x2200000a0b0c0d53 Online, host54 0x2200000a0b0c0d54 Online, host55 0x2200000a0b0c0d55 Online, host56 0x2200000a0b0c0d56 Online, host57 0x2200000a0b0c0d57 Online, ...
[0]
$ queryadapterquor -h -l wyrafc001
Results from calling apQueryHaPhysCfg() for wyrafc001 
adapter wyrafc001 at 0000:5e:00: unknown; supported speeds 2 Gbit, 4 Gbit, 8 Gbit; node name 0x20000a0b0c0d0e30
[0]
$ queryadapterquor -h -l wyrafc000
Results from calling apQueryHaPhysCfg() for wyrafc000 
adapter wyrafc000 at 0000:3b:00: Demo FC-16 HBA fw 4.2.7 drv 1.9.3; supported speeds 4 Gbit, 8 Gbit, 16 Gbit; node name 0x20000a0b0c0d0e10
[0]
$ queryadapterquor -h -l wyrafc063
Results from calling apQueryHaPhysCfg() for wyrafc063 
adapter wyrafc063 at 0000:80:71: unknown; supported speeds unknown; node name unknown
[0]
$ queryadapterquor -l wyrafc064
The kernel AP code returned an error iocData.returnCode = 2 
[2]

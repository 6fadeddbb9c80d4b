# tests/data/sysfs: adapter 0000:3b:00 with functions 0 (host6, virtual ports host20 to host22) and 1 (host5),
# adapter 0000:5e:00 (host2, nine virtual ports); FCoE hosts on a card at 0000:02:00 (host3) and on a VLAN (host4)
$ queryadapterquor -l wyrafc000
Kernel status for wyrafc000 
	 adapterId          :  B00 
	 numOfAdapterPorts  :  2 
	 adapterStatus      :  2700 
	 fc_fiber_speed     :  10 
	 fourPortStatus     :  C 
	 Location Code      :  0000:3b:00 
	 Port WWPN 
		 Port 0: 21000A0B0C0D0E10 
		 Port 1: 21000A0B0C0D0E11 
	 Adapter topology 
		 Port : Kernel Value                     : Stored Value 
		  0   : 1 - OS_OPEN_POINT_TO_POINT       : 0 - OS_TOPOLOGY_UNKNOWN           
		  1   : 2 - OS_FC_AL                     : 0 - OS_TOPOLOGY_UNKNOWN           

	 Adapter HRM status :  A0000000  
		 OS_HW_INSTALLED_CLUS0 
		 OS_HW_AVAILABLE_CLUS0 

	 Port HRM Status    :  00008000  
		 OS_HW2_ONLINE_0                   
[0]
$ queryadapterquor -l wyrafc001
Kernel status for wyrafc001 
	 adapterId          :  B06 
	 numOfAdapterPorts  :  1 
	 adapterStatus      :  3000 
	 fc_fiber_speed     :  0 
	 fourPortStatus     :  8 
	 Location Code      :  0000:5e:00 
	 Port WWPN 
		 Port 0: 21000A0B0C0D0E30 
	 Adapter topology 
		 Port : Kernel Value                     : Stored Value 
		  0   : 0 - OS_TOPOLOGY_UNKNOWN          : 0 - OS_TOPOLOGY_UNKNOWN           

	 Adapter HRM status :  80000000  
		 OS_HW_INSTALLED_CLUS0 

	 Port HRM Status    :  00000000  
[0]
$ queryadapterquor -l wyrafc002
The kernel AP code returned an error iocData.returnCode = 2 
[2]
$ queryadapterquor -h -l wyrafc000
Results from calling apQueryHaPhysCfg() for wyrafc000 
adapter wyrafc000 at 0000:3b:00: Demo FC-16 HBA fw 4.2.7 drv 1.9.3; supported speeds 4 Gbit, 8 Gbit, 16 Gbit; node name 0x20000a0b0c0d0e10
[0]
$ queryadapterquor -l wyrafc000 -p 0
Results from calling apQueryHaPortPhysCfg() for wyrafc000 
adapter wyrafc000 port 0 (host6): port name 0x21000a0b0c0d0e10; port id 0x0a1b00; state Online; type NPort (fabric via point-to-point); speed 16 Gbit; fabric name 0x10000a0b0c0d0f00; virtual ports (3): host20 0x21000a0b0c0d0e20 Online, host21 0x21000a0b0c0d0e21 Online, host22 0x21000a0b0c0d0e22 Linkdown
[0]
$ queryadapterquor -l wyrafc000 -p 1
Results from calling apQueryHaPortPhysCfg() for wyrafc000 
adapter wyrafc000 port 1 (host5): port name 0x21000a0b0c0d0e11; port id 0x0000e8; state Linkdown; type LPort (private loop); speed 8 Gbit; fabric name 0x0
[0]
$ queryadapterquor -l wyrafc001 -p 1
The kernel AP code returned an error iocData.returnCode = 4 
[2]

# port 1 of wyrafc000 now online as an NPort, under the same helper, and a stored value for it
$ storetopology -a B00 -p 1 -t 2
[0]
$ queryadapterquor -l wyrafc000
Kernel status for wyrafc000 
	 adapterId          :  B00 
	 numOfAdapterPorts  :  2 
	 adapterStatus      :  2200 
	 fc_fiber_speed     :  10 
	 fourPortStatus     :  C 
	 Location Code      :  0000:3b:00 
	 Port WWPN 
		 Port 0: 21000A0B0C0D0E10 
		 Port 1: 21000A0B0C0D0E11 
	 Adapter topology 
		 Port : Kernel Value                     : Stored Value 
		  0   : 1 - OS_OPEN_POINT_TO_POINT       : 0 - OS_TOPOLOGY_UNKNOWN           
		  1   : 1 - OS_OPEN_POINT_TO_POINT       : 2 - OS_FC_AL                      

	 Adapter HRM status :  A0000000  
		 OS_HW_INSTALLED_CLUS0 
		 OS_HW_AVAILABLE_CLUS0 

	 Port HRM Status    :  0000C000  
		 OS_HW2_ONLINE_0                   
		 OS_HW2_ONLINE_1                   
[0]

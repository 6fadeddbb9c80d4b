$ queryadapterquor -l wyrafc000
Kernel status for wyrafc000 
	 adapterId          :  B00 
	 numOfAdapterPorts  :  4 
	 adapterStatus      :  1F 
	 fc_fiber_speed     :  8 
	 fourPortStatus     :  F 
	 Location Code      :  BAY1-SLOT3 
	 Port WWPN 
		 Port 0: 10000ABCDEF00001 
		 Port 1: 10000ABCDEF00002 
		 Port 2: 10000ABCDEF00003 
		 Port 3: 10000ABCDEF00004 
	 Adapter topology 
		 Port : Kernel Value                     : Stored Value 
		  0   : 1 - OS_OPEN_POINT_TO_POINT       : 2 - OS_FC_AL                      
		  1   : 2 - OS_FC_AL                     : 2 - OS_FC_AL                      
		  2   : 7 - ERROR: Input NOT Recognized! : 0 - OS_TOPOLOGY_UNKNOWN           
		  3   : 0 - OS_TOPOLOGY_UNKNOWN          : 0 - OS_TOPOLOGY_UNKNOWN           

	 Adapter HRM status :  AAAAAAAA  
		 OS_HW_INSTALLED_CLUS0 
		 OS_HW_AVAILABLE_CLUS0 
		 OS_HW_NVS_GLOBAL_NO_MODIFIED_DATA_CLUS0 
		 OS_HW_FENCED 
		 OS_HW_FENCED_INT_2 
		 OS_HW_SERVICE_MODE 
		 OS_HW_NVS_INVALID_GLOBAL_STATUS_CLUS0 or OS_HW_FASTLOAD_NOT_MAIL_CAPABLE 
		 OS_HW_AFFINITY               
		 OS_HW_RUN_UNCONFIG           
		 OS_HW_NVS_FAILED             
		 OS_HW_WS_INIT                
		 OS_HW_WS_FAILED              
		 OS_HW_WS_SYNC                

	 Port HRM Status    :  55555555  
		 OS_HW2_DA_ACTIVE_CLUS1            
		 OS_HW2_QUIESCE_PENDING            
		 OS_HW2_ONLINE_1                   
		 OS_HW2_ONLINE_3                   
		 OS_HW2_FENCED_INT_1               
		 OS_HW2_FENCED_INT_3               
[0]
$ queryadapterquor -l wyrafc001
Kernel status for wyrafc001 
	 adapterId          :  0 
	 numOfAdapterPorts  :  0 
	 adapterStatus      :  0 
	 fc_fiber_speed     :  0 
	 fourPortStatus     :  0 
	 Location Code      :   
	 Port WWPN 
	 Adapter topology 
		 Port : Kernel Value                     : Stored Value 

	 Adapter HRM status :  55555555  
		 OS_HW_INSTALLED_CLUS1 
		 OS_HW_AVAILABLE_CLUS1 
		 OS_HW_NVS_GLOBAL_NO_MODIFIED_DATA_CLUS1 
		 OS_HW_FENCED_INT_1 
		 OS_HW_FENCED_DUE_TO_NO_LSS_ACCESS 
		 OS_HW_CONFIG_IN_PROGRESS 
		 OS_HW_NVS_INVALID_GLOBAL_STATUS_CLUS1 or OS_HW_FASTLOAD_NOT_MAIL_CAPABLE 
		 OS_HW_OWNERSHIP              
		 OS_HW_RUN_CONFIG             
		 OS_HW_NVS_WITH_MODIFIED_DATA 
		 OS_HW_WS_COMPLETE            
		 OS_HW_WS_FAILED_DELAY        
		 OS_HW_CLUSTER_RESET_APPLIED  
		 OS_HW_DELAY_FENCE            

	 Port HRM Status    :  AAAAAAAA  
		 OS_HW2_DA_AFFINITY                
		 OS_HW2_DA_ACTIVE_CLUS0            
		 OS_HW2_FIXED_OWNERSHIP            
		 OS_HW2_RESUME_PENDING             
		 OS_HW2_FENCED_DUE_TO_FABRIC_ERROR 
		 OS_HW2_ONLINE_0                   
		 OS_HW2_ONLINE_2                   
		 OS_HW2_FENCED_INT_0               
		 OS_HW2_FENCED_INT_2               
		 OS_HW2_WS_SYNC                    
[0]
$ queryadapterquor -l wyrafc002
Kernel status for wyrafc002 
	 adapterId          :  0 
	 numOfAdapterPorts  :  1 
	 adapterStatus      :  0 
	 fc_fiber_speed     :  0 
	 fourPortStatus     :  0 
	 Location Code      :   
	 Port WWPN 
		 Port 0: 0000000000000000 
	 Adapter topology 
		 Port : Kernel Value                     : Stored Value 
		  0   : 0 - OS_TOPOLOGY_UNKNOWN          : 0 - OS_TOPOLOGY_UNKNOWN           

	 Adapter HRM status :  00000000  

	 Port HRM Status    :  00000000  
[0]
$ queryadapterquor -l wyrafc003
Kernel status for wyrafc003 
	 adapterId          :  0 
	 numOfAdapterPorts  :  200 
	 adapterStatus      :  0 
	 fc_fiber_speed     :  0 
	 fourPortStatus     :  0 
	 Location Code      :   
	 Port WWPN 
		 Port 0: 0000000000000000 
		 Port 1: 0000000000000000 
		 Port 2: 0000000000000000 
		 Port 3: 0000000000000000 
	 Adapter topology 
		 Port : Kernel Value                     : Stored Value 
		  0   : 1 - OS_OPEN_POINT_TO_POINT       : 0 - OS_TOPOLOGY_UNKNOWN           
		  1   : 5 - ERROR: Input NOT Recognized! : 0 - OS_TOPOLOGY_UNKNOWN           
		  2   : 1 - OS_OPEN_POINT_TO_POINT       : 4 - OS_OPEN_FICON_POINT_TO_POINT  
		  3   : 3 - OS_FICON_POINT_TO_POINT      : 0 - OS_TOPOLOGY_UNKNOWN           

	 Adapter HRM status :  00000000  

	 Port HRM Status    :  00000000  
[0]
$ queryadapterquor -l wyrafc05099
Warmstart in progress: query functon exiting, .
The query ioctl for >adp: wyrafc050 had an error 
ioctl command line return code     : 53 
ioctl data struncture return code  : 0 
ERROR: Failed to recv Dev IOCTL Response - rc=1132
ERROR: hdr.helper_req: 0x6, fd: {fd}
ERROR: hdr.xfercnt:   1132
ERROR: hdr.ret_code:   53
[53]
$ queryadapterquor -l wyrafc060
The ioctl failed, The ioctl return code indicates that the machine is not IMLed.
ioctl rc = 6, iocData.returnCode = 0 
ERROR: Failed to recv Dev IOCTL Response - rc=1132
ERROR: hdr.helper_req: 0x6, fd: {fd}
ERROR: hdr.xfercnt:   1132
ERROR: hdr.ret_code:   6
[6]
$ queryadapterquor -l wyrafc070
ERROR: The query ioctl for >adp: wyrafc070 had an error 
ioctl command line return code     : -1 
ioctl data struncture return code  : 0 
Config exiting, apConfig.dat not updated!
ERROR: Failed to recv Dev IOCTL Response - rc=1132
ERROR: hdr.helper_req: 0x6, fd: {fd}
ERROR: hdr.xfercnt:   1132
ERROR: hdr.ret_code:   -1
[1]
$ queryadapterquor -l wyrafc080
The kernel AP code returned an error iocData.returnCode = 5 
[2]
$ queryadapterquor -l wyrafc
The kernel AP code returned an error iocData.returnCode = 2 
[2]
$ queryadapterquor -l wyrafc000 -p 0
Results from calling apQueryHaPortPhysCfg() for wyrafc000 
adapter wyrafc000 port 0: WWPN 10:00:0A:BC:DE:F0:00:01, topology 1
[0]
$ queryadapterquor -l wyrafc000 -p 3
Results from calling apQueryHaPortPhysCfg() for wyrafc000 
adapter wyrafc000 port 3: WWPN 10:00:0A:BC:DE:F0:00:04, topology 0
[0]
$ queryadapterquor -h -l wyrafc000
Results from calling apQueryHaPhysCfg() for wyrafc000 
adapter wyrafc000, id 0xB00, location BAY1-SLOT3, 4 ports, status 0x0000001F, fibre speed 0x08, four-port status 0x0000000F
[0]
$ queryadapterquor -v -l wyrafc000 -h
queryadapterquor: Verbose mode selected 
Starting queryadapterquor at {time} port name = wyrafc000
Query Adapter Status ioctl for wyrafc000 successful at {time}
Results from calling apQueryHaPhysCfg() for wyrafc000 
adapter wyrafc000, id 0xB00, location BAY1-SLOT3, 4 ports, status 0x0000001F, fibre speed 0x08, four-port status 0x0000000F
[0]
# stored values of wyrafc000 are looked up under id B00 (its 9-character copy), all others under B06
$ queryadapterquor -l wyrafc0000
Kernel status for wyrafc0000 
	 adapterId          :  B00 
	 numOfAdapterPorts  :  4 
	 adapterStatus      :  1F 
	 fc_fiber_speed     :  8 
	 fourPortStatus     :  F 
	 Location Code      :  BAY1-SLOT3 
	 Port WWPN 
		 Port 0: 10000ABCDEF00001 
		 Port 1: 10000ABCDEF00002 
		 Port 2: 10000ABCDEF00003 
		 Port 3: 10000ABCDEF00004 
	 Adapter topology 
		 Port : Kernel Value                     : Stored Value 
		  0   : 1 - OS_OPEN_POINT_TO_POINT       : 2 - OS_FC_AL                      
		  1   : 2 - OS_FC_AL                     : 2 - OS_FC_AL                      
		  2   : 7 - ERROR: Input NOT Recognized! : 0 - OS_TOPOLOGY_UNKNOWN           
		  3   : 0 - OS_TOPOLOGY_UNKNOWN          : 0 - OS_TOPOLOGY_UNKNOWN           

	 Adapter HRM status :  AAAAAAAA  
		 OS_HW_INSTALLED_CLUS0 
		 OS_HW_AVAILABLE_CLUS0 
		 OS_HW_NVS_GLOBAL_NO_MODIFIED_DATA_CLUS0 
		 OS_HW_FENCED 
		 OS_HW_FENCED_INT_2 
		 OS_HW_SERVICE_MODE 
		 OS_HW_NVS_INVALID_GLOBAL_STATUS_CLUS0 or OS_HW_FASTLOAD_NOT_MAIL_CAPABLE 
		 OS_HW_AFFINITY               
		 OS_HW_RUN_UNCONFIG           
		 OS_HW_NVS_FAILED             
		 OS_HW_WS_INIT                
		 OS_HW_WS_FAILED              
		 OS_HW_WS_SYNC                

	 Port HRM Status    :  55555555  
		 OS_HW2_DA_ACTIVE_CLUS1            
		 OS_HW2_QUIESCE_PENDING            
		 OS_HW2_ONLINE_1                   
		 OS_HW2_ONLINE_3                   
		 OS_HW2_FENCED_INT_1               
		 OS_HW2_FENCED_INT_3               
[0]
# stores under the id the report uses
$ storetopology -l wyrafc000 -p 1 -t 3
[0]
$ queryadapterquor -l wyrafc000
Kernel status for wyrafc000 
	 adapterId          :  B00 
	 numOfAdapterPorts  :  4 
	 adapterStatus      :  1F 
	 fc_fiber_speed     :  8 
	 fourPortStatus     :  F 
	 Location Code      :  BAY1-SLOT3 
	 Port WWPN 
		 Port 0: 10000ABCDEF00001 
		 Port 1: 10000ABCDEF00002 
		 Port 2: 10000ABCDEF00003 
		 Port 3: 10000ABCDEF00004 
	 Adapter topology 
		 Port : Kernel Value                     : Stored Value 
		  0   : 1 - OS_OPEN_POINT_TO_POINT       : 2 - OS_FC_AL                      
		  1   : 2 - OS_FC_AL                     : 3 - OS_FICON_POINT_TO_POINT       
		  2   : 7 - ERROR: Input NOT Recognized! : 0 - OS_TOPOLOGY_UNKNOWN           
		  3   : 0 - OS_TOPOLOGY_UNKNOWN          : 0 - OS_TOPOLOGY_UNKNOWN           

	 Adapter HRM status :  AAAAAAAA  
		 OS_HW_INSTALLED_CLUS0 
		 OS_HW_AVAILABLE_CLUS0 
		 OS_HW_NVS_GLOBAL_NO_MODIFIED_DATA_CLUS0 
		 OS_HW_FENCED 
		 OS_HW_FENCED_INT_2 
		 OS_HW_SERVICE_MODE 
		 OS_HW_NVS_INVALID_GLOBAL_STATUS_CLUS0 or OS_HW_FASTLOAD_NOT_MAIL_CAPABLE 
		 OS_HW_AFFINITY               
		 OS_HW_RUN_UNCONFIG           
		 OS_HW_NVS_FAILED             
		 OS_HW_WS_INIT                
		 OS_HW_WS_FAILED              
		 OS_HW_WS_SYNC                

	 Port HRM Status    :  55555555  
		 OS_HW2_DA_ACTIVE_CLUS1            
		 OS_HW2_QUIESCE_PENDING            
		 OS_HW2_ONLINE_1                   
		 OS_HW2_ONLINE_3                   
		 OS_HW2_FENCED_INT_1               
		 OS_HW2_FENCED_INT_3               
[0]
$ storetopology -l wyrafc002 -p 0 -t 1
storetopology: wyrafc002 shares adapter id B06 with every adapter but wyrafc000: the value stored for port 0 shows in the reports of all of them
[0]

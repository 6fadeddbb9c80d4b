$ queryadapterquor
ERROR: a logical name must be specified. 

Usage
queryadapterquor -l <logical Name> [-h | -p <port Number>]
-h and -p are mutually exclusive 
-h to call the apQueryHaPhysCfg() function, 
-p to call the apQueryHaPortPhysCfg() function 
[253]
$ queryadapterquor -l wyrafc000 -p 01
queryadapterquor: ERROR the port number must be 0,1,2, or 3 
ERROR: getting params

Usage
queryadapterquor -l <logical Name> [-h | -p <port Number>]
-h and -p are mutually exclusive 
-h to call the apQueryHaPhysCfg() function, 
-p to call the apQueryHaPortPhysCfg() function 
[253]
$ queryadapterquor -l wyrafc000 -p 4
queryadapterquor: ERROR the port number must be 0,1,2, or 3 
ERROR: getting params

Usage
queryadapterquor -l <logical Name> [-h | -p <port Number>]
-h and -p are mutually exclusive 
-h to call the apQueryHaPhysCfg() function, 
-p to call the apQueryHaPortPhysCfg() function 
[253]
$ queryadapterquor -h -p 1 -l wyrafc000
ERROR: getting params

Usage
queryadapterquor -l <logical Name> [-h | -p <port Number>]
-h and -p are mutually exclusive 
-h to call the apQueryHaPhysCfg() function, 
-p to call the apQueryHaPortPhysCfg() function 
[253]
# -v after the conflict is not seen
$ queryadapterquor -h -h -v -l wyrafc000
ERROR: getting params

Usage
queryadapterquor -l <logical Name> [-h | -p <port Number>]
-h and -p are mutually exclusive 
-h to call the apQueryHaPhysCfg() function, 
-p to call the apQueryHaPortPhysCfg() function 
[253]
$ queryadapterquor -l a -l b -v
ERROR: Multiple logical names specified 
ERROR: getting params

Usage
queryadapterquor -l <logical Name> [-h | -p <port Number>]
-h and -p are mutually exclusive 
-h to call the apQueryHaPhysCfg() function, 
-p to call the apQueryHaPortPhysCfg() function 
[253]
$ queryadapterquor -x -l wyrafc000
ERROR: getting params

Usage
queryadapterquor -l <logical Name> [-h | -p <port Number>]
-h and -p are mutually exclusive 
-h to call the apQueryHaPhysCfg() function, 
-p to call the apQueryHaPortPhysCfg() function 
queryadapterquor: invalid option -- 'x'
[253]
$ queryadapterquor -l
ERROR: getting params

Usage
queryadapterquor -l <logical Name> [-h | -p <port Number>]
-h and -p are mutually exclusive 
-h to call the apQueryHaPhysCfg() function, 
-p to call the apQueryHaPortPhysCfg() function 
queryadapterquor: option requires an argument -- 'l'
[253]
$ queryadapterquor -l wyraf
ERROR: the logical name must belong to a korval adapter 
[253]

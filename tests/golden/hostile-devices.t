# links, a hard link and a FIFO planted in the device directory, and a device; a write opens as a read does
$ tamskdev read plain
plain
[0]
$ tamskdev read secret
ERROR: Failed to recv Dev Open Response - rc = 20
ERROR: hdr.helper_req: 0x6, fd: {fd}
ERROR: hdr.xfercnt:   27
ERROR: hdr.ret_code:   19
Failed to open/connect to ZARUD socket - -1
[6]
$ tamskdev write secret
ERROR: Failed to recv Dev Open Response - rc = 20
ERROR: hdr.helper_req: 0x6, fd: {fd}
ERROR: hdr.xfercnt:   27
ERROR: hdr.ret_code:   19
Failed to open/connect to ZARUD socket - -1
[6]
$ tamskdev read zero
ERROR: Failed to recv Dev Open Response - rc = 20
ERROR: hdr.helper_req: 0x6, fd: {fd}
ERROR: hdr.xfercnt:   25
ERROR: hdr.ret_code:   19
Failed to open/connect to ZARUD socket - -1
[6]
$ tamskdev read hard
ERROR: Failed to recv Dev Open Response - rc = 20
ERROR: hdr.helper_req: 0x6, fd: {fd}
ERROR: hdr.xfercnt:   25
ERROR: hdr.ret_code:   19
Failed to open/connect to ZARUD socket - -1
[6]
$ tamskdev read fifo
ERROR: Failed to recv Dev Open Response - rc = 20
ERROR: hdr.helper_req: 0x6, fd: {fd}
ERROR: hdr.xfercnt:   25
ERROR: hdr.ret_code:   19
Failed to open/connect to ZARUD socket - -1
[6]

#!/bin/sh
# What a user would write without hexstamp: date(1) for the fields, srec_cat for the record.
set -- $(date '+%C %y %m %d %H %M %S')
exec srec_cat -generate 0x0100 0x0107 -repeat-data 0x0$(($1 - 19)) 0x$2 0x$3 0x$4 0x$5 0x$6 0x$7 \
  -o - -intel

/* Drops the unwind tables that the runtime's start-up objects carry: nothing in
   the program throws, and the runtime registers them only when a libgcc DLL is
   already loaded, which never happens here. Added to GNU ld's default script. */
SECTIONS { /DISCARD/ : { *(.eh_frame*) } } INSERT BEFORE .text;

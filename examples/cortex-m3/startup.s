@ The vector table and reset handler: set up .data and .bss, then call main.
    .syntax unified
    .cpu cortex-m3
    .thumb

    .section .vectors, "a"
    .word __stack_top
    .word reset_handler

    .text
    .thumb_func
    .global reset_handler
reset_handler:
    ldr r0, =__data_load
    ldr r1, =__data_start
    ldr r2, =__data_end
1:  cmp r1, r2
    ittt lo
    ldrlo r3, [r0], #4
    strlo r3, [r1], #4
    blo 1b
    ldr r1, =__bss_start
    ldr r2, =__bss_end
    movs r3, #0
2:  cmp r1, r2
    itt lo
    strlo r3, [r1], #4
    blo 2b
    bl main
3:  b 3b

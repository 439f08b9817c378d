@ A tiny Cortex-M3 firmware for checking Pelmora against outside tools: a vector table with
@ the stack at the top of the STM32F103's 20 KB RAM, a reset handler that sums a data table
@ and then counts in a loop, the name the board's banner shows, and two sections the linker
@ may place apart from the rest (to give the image gaps of erased flash).
        .syntax unified
        .cpu    cortex-m3
        .thumb

        .section .vectors, "a"
        .word   _stack_top              @ initial stack pointer (0x20005000)
        .word   reset_handler           @ Thumb bit set by .thumb_func
        .word   fault_handler           @ NMI
        .word   fault_handler           @ HardFault
        .word   fault_handler           @ MemManage
        .word   fault_handler           @ BusFault
        .word   fault_handler           @ UsageFault
        .word   0, 0, 0, 0              @ reserved
        .word   fault_handler           @ SVCall
        .word   fault_handler           @ DebugMonitor
        .word   0                       @ reserved
        .word   fault_handler           @ PendSV
        .word   fault_handler           @ SysTick

        .text
        .thumb_func
        .global reset_handler
reset_handler:
        ldr     r1, =table
        ldr     r2, =table_end
        movs    r0, #0
1:      ldr     r3, [r1], #4
        add     r0, r0, r3
        cmp     r1, r2
        bne     1b
        ldr     r1, =far_words
        ldr     r3, [r1]
        eors    r0, r0, r3
        ldr     r1, =0x20000000
        str     r0, [r1]
2:      adds    r0, r0, #1
        str     r0, [r1, #4]
        b       2b

        .thumb_func
fault_handler:
        b       fault_handler
        .ltorg

        .section .rodata, "a"
        .balign 4
fwname: .asciz  "FWNAME=Outside 1.0"
        .balign 4
table:
        .set    i, 0
        .rept   384
        .word   ((i * 40503) ^ (i << 19) ^ 0x5A5A0000) & 0xFFFFFFFF
        .set    i, i + 1
        .endr
        .word   0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF   @ erased-looking data is data too
table_end:

        .section .far, "a"
        .balign 4
far_words:
        .set    i, 0
        .rept   100
        .word   0xC0DE0000 + i
        .set    i, i + 1
        .endr

        .section .tail, "a"
        .ascii  "tail of the image"     @ 17 bytes: the image does not end on a whole word

/* Faults over stacks no walk can trust; the report must still be one line
   and its call chain short and true.  argc picks the damage:
     1  ra points into data: no caller can be named
     2  every saved return address leads back into the function itself:
        the chain is cut after a handful of frames
     3  sp near the top of the address space: the saved registers lie
        past its end, and sp wraps past zero */
	.set	noreorder
	.data
	.align	2
not_code:
	.word	0

	.text
	.globl	main
	.ent	main
main:
	addiu	$t0, $zero, 2
	beq	$a0, $t0, cycle
	addiu	$t0, $zero, 3
	beq	$a0, $t0, top
	nop
	lui	$ra, %hi(not_code)
	addiu	$ra, $ra, %lo(not_code)
	lw	$t1, 0($zero)
	nop
	.end	main

	.ent	cycle
cycle:
	addiu	$sp, $sp, -8
	sw	$ra, 4($sp)
	lui	$t0, %hi(back)
	addiu	$t0, $t0, %lo(back)
	addiu	$t1, $sp, 0
	addiu	$t2, $sp, 64
1:	sw	$t0, 0($t1)
	addiu	$t1, $t1, 4
	bne	$t1, $t2, 1b
	nop
	lw	$t3, 0($zero)
	nop
	jal	cycle
	nop
back:
	b	back
	nop
	.end	cycle

top:
	lui	$sp, 0xffff
	j	.Lframed_body
	ori	$sp, $sp, 0xfff8

	.ent	framed
framed:
	addiu	$sp, $sp, -16
	sw	$ra, 12($sp)
	sw	$s0, 100($sp)
.Lframed_body:
	lw	$t0, 0($zero)
	nop
	.end	framed

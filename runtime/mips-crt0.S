/* Process entry.  The kernel starts us with argc in a0, argv in a1 and a
 * usable stack of any alignment; bss is already zero. */
	.set	noreorder
	.set	nomacro

	.section .sbss,"aw",@nobits
	.globl	__argv
	.type	__argv, @object
	.size	__argv, 4
	.align	2
__argv:
	.space	4

	.text
	.globl	__start
	.type	__start, @function
	.ent	__start
__start:
	lui	$gp, %hi(_gp)
	addiu	$gp, $gp, %lo(_gp)
	addiu	$t0, $zero, -8
	and	$sp, $sp, $t0		/* o32 wants 8-byte stack alignment */
	addiu	$sp, $sp, -16		/* argument save area for the callee */
	sw	$a1, %gp_rel(__argv)($gp)
	jal	main			/* a0, a1 passed on untouched */
	nop
	move	$s0, $v0		/* never returning, so s0 is ours */
	jal	exit
	move	$a0, $s0
	/* Reached only if the kernel returned from its exit call. */
	jal	_exit
	move	$a0, $s0
1:	move	$a0, $s0
	addiu	$v0, $zero, 0		/* call 0: end the process, again */
	syscall
	b	1b
	nop
	.end	__start
	.size	__start, . - __start

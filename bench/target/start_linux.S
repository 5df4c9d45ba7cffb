/* Linux o32 process entry for the benchmark loop under qemu-mips: set gp,
 * align the stack, call linux_main, exit with its result.  Nothing of the
 * runtime library is linked. */
	.set	noreorder
	.set	nomacro

	.text
	.globl	__start
	.type	__start, @function
	.ent	__start
__start:
	lui	$gp, %hi(_gp)
	addiu	$gp, $gp, %lo(_gp)
	addiu	$t0, $zero, -8
	and	$sp, $sp, $t0
	jal	linux_main
	addiu	$sp, $sp, -16		/* argument save area for the callee */
	move	$a0, $v0
	li	$v0, 4246		/* exit_group */
	syscall
	.end	__start
	.size	__start, . - __start

/* long linux_write(int fd, const void *buf, unsigned long len) */
	.globl	linux_write
	.type	linux_write, @function
	.ent	linux_write
linux_write:
	li	$v0, 4004		/* write */
	syscall
	bnez	$a3, 1f			/* a3 set: v0 is a positive errno */
	nop
	jr	$ra
	nop
1:	jr	$ra
	subu	$v0, $zero, $v0
	.end	linux_write
	.size	linux_write, . - linux_write

/* void linux_exit(int status): ends the process, all threads */
	.globl	linux_exit
	.type	linux_exit, @function
	.ent	linux_exit
linux_exit:
	li	$v0, 4246		/* exit_group */
	syscall
1:	b	1b
	nop
	.end	linux_exit
	.size	linux_exit, . - linux_exit

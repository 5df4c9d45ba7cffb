/* Fills every register the kernel must keep with a pattern, calls getpid
 * by a raw syscall and exits with the number of the first register that
 * changed (32 for HI, 33 for LO), or 0 when all were kept. */
	.set	noreorder
	.set	noat
	.text
	.globl	main
	.ent	main
main:
	addiu	$sp, $sp, -48
	sw	$ra, 44($sp)
	sw	$fp, 40($sp)
	sw	$gp, 36($sp)
	sw	$s7, 32($sp)
	sw	$s6, 28($sp)
	sw	$s5, 24($sp)
	sw	$s4, 20($sp)
	sw	$s3, 16($sp)
	sw	$s2, 12($sp)
	sw	$s1, 8($sp)
	sw	$s0, 4($sp)

	.irp	r, 1,4,5,6,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,28,30,31
	lui	$\r, (\r << 8) | \r
	ori	$\r, $\r, 0x5a00 | \r
	.endr
	mthi	$8
	mtlo	$9
	addiu	$v0, $zero, 11		/* getpid */
	syscall

	.irp	r, 1,4,5,6,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,28,30,31
	lui	$v0, (\r << 8) | \r
	ori	$v0, $v0, 0x5a00 | \r
	bne	$v0, $\r, done
	addiu	$v1, $zero, \r
	.endr
	mfhi	$v0
	lui	$1, 0x0808
	ori	$1, $1, 0x5a08
	bne	$v0, $1, done
	addiu	$v1, $zero, 32
	mflo	$v0
	lui	$1, 0x0909
	ori	$1, $1, 0x5a09
	bne	$v0, $1, done
	addiu	$v1, $zero, 33
	addiu	$v1, $zero, 0

done:
	lw	$ra, 44($sp)
	lw	$fp, 40($sp)
	lw	$gp, 36($sp)
	lw	$s7, 32($sp)
	lw	$s6, 28($sp)
	lw	$s5, 24($sp)
	lw	$s4, 20($sp)
	lw	$s3, 16($sp)
	lw	$s2, 12($sp)
	lw	$s1, 8($sp)
	lw	$s0, 4($sp)
	move	$v0, $v1
	jr	$ra
	addiu	$sp, $sp, 48
	.end	main

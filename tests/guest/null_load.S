/* Loads a word from address 0: the process must be killed with SIGSEGV. */
	.set	noreorder
	.text
	.globl	main
	.ent	main
main:
	lw	$a0, 0($zero)
	nop
	jr	$ra
	nop
	.end	main

/* Kernel-call stubs.  Each is a jump to the shared trap routine with its
 * call number loaded in the delay slot, so the caller's arguments, sp and
 * ra reach the kernel untouched and __syscall returns straight to it. */
	.set	noreorder
	.set	nomacro
	.text

#define R3K_SYSCALL(number, name)		\
	.section .text.name,"ax",@progbits;	\
	.globl	name;				\
	.type	name, @function;		\
	.ent	name;				\
name:						\
	j	__syscall;			\
	addiu	$v0, $zero, number;		\
	.end	name;				\
	.size	name, . - name;
#include "r3k/syscalls.def"

/* Trap with v0 = call number, a0-a3 = arguments.  The kernel answers with
 * a3 = error flag, v0 = result or error number, v1 = second result word. */
	.text
	.type	__syscall, @function
	.ent	__syscall
__syscall:
	syscall
	bnez	$a3, 1f
	nop
	jr	$ra			/* success: v0 and v1 as the kernel left them */
	nop
1:	sw	$v0, %gp_rel(errno)($gp)
	addiu	$v0, $zero, -1
	jr	$ra
	addiu	$v1, $zero, -1		/* a two-word result reads -1 too */
	.end	__syscall
	.size	__syscall, . - __syscall

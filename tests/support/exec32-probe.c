/* The smallest i386 program: it exits with status 0 and needs no library. The test command runs
 * it once to learn whether this machine executes 32-bit programs at all; some kernels refuse
 * them ("Exec format error"). */
void _start(void) {
    __asm__ volatile("movl $1, %eax\n\txorl %ebx, %ebx\n\tint $0x80");
}

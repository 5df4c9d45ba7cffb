/* Part of the compiler build that libgcc2.c includes; nothing in it is
   needed here. */

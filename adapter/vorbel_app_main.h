/* The adapter's contract with a program's own main, force-included into every
 * source of the program (-include vorbel_app_main.h) together with
 * -Dmain=vorbel_app_main. Plain C and C++; declares nothing else.
 *
 * In C nothing needs declaring: the renamed main keeps C linkage by itself,
 * whichever of the usual parameter lists it has. In C++ the declaration below
 * gives the renamed `int main(int argc, char** argv)` C linkage, so the
 * adapter finds it under its plain name. */
#ifndef VORBEL_APP_MAIN_H
#define VORBEL_APP_MAIN_H

#ifdef __cplusplus
extern "C" int vorbel_app_main(int argc, char** argv);
#endif

#endif

// The Perl embedding and extension interface, included the same way by
// every native module. Include it after the C++ standard headers: the Perl
// headers define short macros that would clash with them.
#pragma once

#define PERL_NO_GET_CONTEXT
#include <EXTERN.h>
#include <perl.h>
#include <XSUB.h>

// Macros of the Perl headers that collide with ordinary C++ names.
#undef do_open
#undef do_close
#undef list
#undef ref

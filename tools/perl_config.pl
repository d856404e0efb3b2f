#!/usr/bin/perl
# perl_config.pl OUTPUT: writes the system Perl's build facts that the
# runtime's build needs as CMake settings.
use strict;
use warnings;
use Config;

my $output = shift or die "usage: $0 OUTPUT\n";
die "the runtime needs a threaded Perl\n" unless $Config{useithreads};
my @definitions = grep { /^-D/ } split ' ', $Config{ccflags};
my @inc = grep { $_ ne '.' && -d } @INC;

open(my $out, '>', $output) or die "cannot write $output: $!\n";
print $out "set(LMX_PERL_INCLUDE_DIR \"$Config{archlibexp}/CORE\")\n";
print $out "set(LMX_PERL_CFLAGS ", join(' ', map { "\"$_\"" } @definitions), ")\n";
print $out "set(LMX_PERL_INC \"", join(':', @inc), "\")\n";
close $out or die "cannot write $output: $!\n";

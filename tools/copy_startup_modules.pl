#!/usr/bin/perl
# copy_startup_modules.pl KIT: copies the pure-Perl modules that the
# runtime's start-up loads before any archive is on the search list
# (Getopt::Long and everything it loads, also on its error paths, and
# XSLoader) from the system's Perl library into KIT, keeping their
# relative paths.
use strict;
use warnings;
use File::Copy qw(copy);
use File::Path qw(make_path);
use File::Basename qw(dirname);

my $kit = shift or die "usage: $0 KIT\n";

# Load the start-up modules in a clean perl and list what came in.
my @loaded = `$^X -e 'require Getopt::Long; Getopt::Long::Configure("pass_through"); require XSLoader; require Carp; require Exporter::Heavy; print "\$_\\t\$INC{\$_}\\n" for sort keys %INC'`;
die "cannot list the start-up modules\n" if $? != 0 || !@loaded;

for my $line (@loaded) {
    chomp $line;
    my ($name, $path) = split /\t/, $line;
    my $target = "$kit/$name";
    make_path(dirname($target));
    copy($path, $target) or die "cannot copy $path to $target: $!\n";
}

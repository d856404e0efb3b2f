#!/usr/bin/perl
# Turns a Perl text into a C++ constant of type lmx::EmbeddedText.
#
#   embed_text.pl SOURCE OUTPUT SYMBOL NAME
#
# The file's header comment (its leading comment and blank lines) is left
# out; the text starts at the first code line and is reported under the
# diagnostic name NAME with that line's number, so that diagnostics carry
# the source file's own line numbers.
use strict;
use warnings;

my ($source, $output, $symbol, $name) = @ARGV;
die "usage: $0 SOURCE OUTPUT SYMBOL NAME\n" unless defined $name;

open(my $in, '<:raw', $source) or die "cannot read $source: $!\n";
my @lines = <$in>;
close $in;
my $first = 0;
$first++ while $first < @lines && $lines[$first] =~ /^\s*(?:#.*)?$/;
die "$source holds no code\n" if $first == @lines;
my $first_line = $first + 1;
my $text = join '', @lines[$first .. $#lines];

sub c_string {
    my ($s) = @_;
    my @parts;
    for my $line (split /(?<=\n)/, $s) {
        (my $quoted = $line) =~ s/([\\"])/\\$1/g;
        $quoted =~ s/\n/\\n/g;
        $quoted =~ s/\t/\\t/g;
        $quoted =~ s/([^\x20-\x7e])/sprintf('\\%03o', ord $1)/ge;
        $quoted =~ s/\?\?/?\\?/g;    # no trigraphs
        push @parts, qq{    "$quoted"};
    }
    return @parts ? join("\n", @parts) : '    ""';
}

my $body = c_string($text);
my $content = <<"CPP";
// Generated from $source by tools/embed_text.pl; do not edit.
#include "runtime/host/embedded_text.h"

namespace lmx {

extern const EmbeddedText $symbol;
const EmbeddedText $symbol = {"$name", $first_line,
$body};

}  // namespace lmx
CPP

# Rewrite only on change, so that an unchanged text rebuilds nothing.
if (open(my $old, '<:raw', $output)) {
    local $/;
    my $previous = <$old>;
    close $old;
    exit 0 if defined $previous && $previous eq $content;
}
open(my $out, '>:raw', $output) or die "cannot write $output: $!\n";
print $out $content;
close $out or die "cannot write $output: $!\n";

package LMX::Install::Demo::Failure;

# Why an installation stops, and the signals that stop it. A failure is a
# blessed hash with the exit code and the text for the user; plain dies
# (a fault in the installer's own code) become failures with code 1.
#
# Signals (SIGINT, SIGQUIT, SIGTERM, SIGHUP, and SIGPIPE when the reader of
# the output went away) are only noted when they arrive; the installer asks
# `check` at its safe points (between two files, between two steps), so a
# signal never cuts a step in half and the journal always knows what was
# done. While the installer waits for the user's answer, a signal
# ends the wait at once.
use strict;
use warnings;
use Exporter 'import';

our @EXPORT_OK = qw(fail check FAILED USAGE DECLINED BUSY);

sub FAILED ()   { 1 }
sub USAGE ()    { 2 }
sub DECLINED () { 3 }
sub BUSY ()     { 4 }
my %number = (HUP => 1, INT => 2, QUIT => 3, PIPE => 13, TERM => 15);

our $signal;       # the name of the first signal that arrived
our $waiting;      # true while the installer waits for the user

sub fail {
    my ($code, $text) = @_;
    die bless { code => $code, text => $text }, __PACKAGE__;
}

# The failure that an eval caught.
sub caught {
    my ($error) = @_;
    return $error if ref $error eq __PACKAGE__;
    (my $text = "$error") =~ s/\n+\z//;
    return bless { code => FAILED, text => $text }, __PACKAGE__;
}

sub interrupted {
    fail(128 + $number{$signal}, "interrupted by SIG$signal");
}

sub note_signal {
    my ($name) = @_;
    $signal = $name unless defined $signal;
    interrupted() if $waiting;
}

sub watch_signals { $SIG{$_} = \&note_signal for keys %number }

sub ignore_signals { $SIG{$_} = 'IGNORE' for keys %number }

sub check { interrupted() if defined $signal }

1;

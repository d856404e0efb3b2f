package Bench;

# Timing helpers of the benchmarks: run a command several times, keep the
# best wall-clock time, and print it beside its peer with the ratio.
use strict;
use warnings;
use Time::HiRes qw(time);
use File::Temp qw(tempdir);
use Exporter 'import';

our @EXPORT_OK = qw(best_time best_self_time compare temp_dir perl_inc);

sub temp_dir { return tempdir('lmxbenchXXXXXX', TMPDIR => 1, CLEANUP => 1) }

# The system Perl's library path, for runtime scripts that use its modules.
sub perl_inc { return join ':', grep { $_ ne '.' && -d } @INC }

# The best of $runs wall-clock times of a command (an array of program and
# arguments, or a code reference); output goes to /dev/null.
sub best_time {
    my ($runs, $command) = @_;
    my $best;
    for (1 .. $runs) {
        my $start = time;
        if (ref $command eq 'CODE') {
            $command->();
        } else {
            my $pid = fork();
            die "fork: $!\n" unless defined $pid;
            if ($pid == 0) {
                open(STDOUT, '>', '/dev/null');
                open(STDERR, '>', '/dev/null') unless $ENV{BENCH_VERBOSE};
                exec { $command->[0] } @$command or exit 127;
            }
            waitpid($pid, 0);
            die "benchmark command failed: @$command\n" if $?;
        }
        my $elapsed = time - $start;
        $best = $elapsed if !defined $best || $elapsed < $best;
    }
    return $best;
}

# The best of $runs times that a command measures itself and prints (in
# seconds, alone on its standard output), for timing one phase of a run.
sub best_self_time {
    my ($runs, @command) = @_;
    my $best;
    for (1 .. $runs) {
        my $t = `@command`;
        die "benchmark run failed: @command\n" if $? || $t !~ /^[\d.e-]+$/;
        $best = $t if !defined $best || $t < $best;
    }
    return $best;
}

# Prints one comparison line: ours beside the peer, the ratio, and the
# target ratio when there is one.
sub compare {
    my (%c) = @_;
    my $ratio = $c{peer_time} > 0 ? $c{ours_time} / $c{peer_time} : 0;
    my $target = defined $c{target} ? sprintf('  (target <= %.2f: %s)', $c{target},
                                              $ratio <= $c{target} ? 'met' : 'NOT met') : '';
    printf "%-58s %9.4f s | %-28s %9.4f s | ratio %.2f%s\n", $c{what}, $c{ours_time},
      $c{peer}, $c{peer_time}, $ratio, $target;
    return $ratio;
}

1;

# A process-table snapshot with the modules of every process against
# `ps -e -o pid,ppid,args`, which lists the processes without modules. The
# snapshot is timed inside the runtime (start-up excluded); ps as a whole
# program. The best of five runs counts.
use strict;
use warnings;
use Bench qw(best_time compare temp_dir perl_inc best_self_time);

my $kit = shift or die "usage: $0 KIT\n";
my $dir = temp_dir();

sub snapshot_script {
    my ($flags) = @_;
    my $path = "$dir/snapshot$flags.pl";
    open(my $s, '>', $path) or die;
    print {$s} <<"PL";
use Time::HiRes qw(time);
bootstrap KALDOR::Install::ProcState;
my \$t = time;
my \$ps = KALDOR::Install::ProcState->new($flags);
my \$elapsed = time - \$t;
die "no snapshot\\n" unless \$ps->{procs};
print \$elapsed, "\\n";
0;
PL
    close $s;
    return $path;
}


my @runtime = ("$kit/ryninst", '--inc', perl_inc(), '--script');
my $processes = () = `ps -e -o pid=`;
my $ps_time = best_time(5, ['ps', '-e', '-o', 'pid,ppid,args']);
compare(what => "ProcState snapshot with modules ($processes processes)",
        ours_time => best_self_time(5, @runtime, snapshot_script(1)), peer => 'ps -e -o pid,ppid,args',
        peer_time => $ps_time);
compare(what => "ProcState snapshot without modules", ours_time => best_self_time(5, @runtime, snapshot_script(0)),
        peer => 'ps -e -o pid,ppid,args', peer_time => $ps_time);

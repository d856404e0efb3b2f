# Reading one million lines from a child: PipeExec's Readline against Perl's
# own piped open and readline. Both read `cat FILE` and run inside the
# runtime (the same interpreter); Perl's piped open is also timed with the
# system perl. Each script times its read loop itself (start-up excluded)
# and the best of five runs counts.
use strict;
use warnings;
use Bench qw(compare temp_dir perl_inc best_self_time);

my $kit = shift or die "usage: $0 KIT\n";
my $dir = temp_dir();
my $data = "$dir/lines.txt";
open(my $out, '>', $data) or die "cannot write $data: $!\n";
print {$out} "line number $_ of the benchmark\n" for 1 .. 1_000_000;
close $out or die;

sub script {
    my ($name, $body) = @_;
    my $path = "$dir/$name.pl";
    open(my $s, '>', $path) or die;
    print {$s} "use Time::HiRes qw(time);\nmy \$n = 0; my \$t = time;\n$body\n",
               "die \"read \$n lines\\n\" unless \$n == 1_000_000;\n",
               "print time - \$t, \"\\n\"; 0;\n";
    close $s;
    return $path;
}

my $ours = script('readline', <<"PL");
bootstrap KALDOR::Install::PipeExec;
my \$p = KALDOR::Install::PipeExec->new;
defined \$p->Open('cat $data') or die \$p->GetError;
while (defined(my \$line = \$p->Readline)) { \$n++ }
\$p->Close;
PL
my $peer = script('piped_open', <<"PL");
open(my \$fh, '-|', 'cat', '$data') or die;
while (defined(my \$line = <\$fh>)) { \$n++ }
close \$fh;
PL


my $inc = perl_inc();
my @runtime = ("$kit/ryninst", '--inc', $inc, '--script');
my $ours_time = best_self_time(5, @runtime, $ours);
compare(what => 'PipeExec Readline, 1e6 lines (runtime)', ours_time => $ours_time,
        peer => 'piped open + readline (runtime)', peer_time => best_self_time(5, @runtime, $peer),
        target => 1.0);
compare(what => 'PipeExec Readline, 1e6 lines (runtime)', ours_time => $ours_time,
        peer => 'piped open + readline (perl)', peer_time => best_self_time(5, 'perl', $peer),
        target => 1.0);

#!/usr/bin/perl
# The demo installer's installation of its payload beside `tar -xzf` of the
# same payload into the same filesystem:
#
#   perl -Ibench/lib bench/demo_install.pl KIT
#
# Ours is the whole `ryninst --target DIR --yes` run: start-up, test run,
# space check, extraction, MD5 check of every file, the runtime's copy and
# the registry entry. A second line shows the payload's own phases (test
# run, extraction, check) without the start-up and the runtime's copy.
#
# Every run installs into a new directory, and the targets are removed only
# at the end: on a filesystem that avoids reusing just-deleted inodes (ext4
# without a journal), files deleted right before a run make every file that
# the run creates slower, and the figures would measure the previous run's
# removal.
use strict;
use warnings;
use Cwd qw(abs_path);
use File::Path qw(remove_tree);
use Bench qw(best_time best_self_time compare perl_inc temp_dir);

my $kit = abs_path(shift // die "usage: $0 KIT\n");
my $runs = $ENV{BENCH_RUNS} || 5;
my $work = temp_dir();
my $payload = "$kit/PAYLOAD.TGZ";
my $target;
my $count = 0;
$ENV{LMX_STORE_DIR} = "$work/store";
my $key = 'HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\'
        . '{5B0C6F3E-2A71-4D8E-9C1F-7E4A2D3B6C10}';

# Each run starts from a missing target, an unregistered product and the
# page cache's dirty data written out.
sub fresh {
    $target = "$work/target" . ++$count;
    system("'$kit/lmxreg' delete '$key' >/dev/null 2>&1");
    system('sync');
}

# The payload's phases alone, timed inside the runtime.
my $phases = "$work/phases.pl";
open(my $out, '>', $phases) or die "$phases: $!\n";
print {$out} <<'PL';
use Time::HiRes qw(time);
use LMX::Install::Demo::Journal;
use LMX::Install::Demo::Payload;
use LMX::Install::Demo::Progress;
my ($archive, $target) = @ARGV;
my $start = time;
my $journal = LMX::Install::Demo::Journal->new();
mkdir $target or die "$target: $!\n";
my ($untgz, $payload) = LMX::Install::Demo::Payload::test_run($archive, $target, $journal);
my $quiet = LMX::Install::Demo::Progress->new('', 1, 0);
LMX::Install::Demo::Payload::extract($untgz, $payload, $target, $journal, $quiet);
LMX::Install::Demo::Payload::verify($payload, $target, $quiet);
print time - $start, "\n";
0;
PL
close $out;

my (%ours, %peer);
sub keep_best { my ($best, $name, $t) = @_; $best->{$name} = $t if !defined $best->{$name} || $t < $best->{$name} }
for (1 .. $runs) {
    fresh();
    keep_best(\%ours, install => best_time(1, ["$kit/ryninst", '--target', $target, '--yes']));
    fresh();
    keep_best(\%ours, phases => best_self_time(1, "'$kit/ryninst'", '--script', $phases, '--inc',
                                               "$kit/LMXINST.TGZ:" . perl_inc(), $payload, $target));
    fresh();
    mkdir $target or die "$target: $!\n";
    keep_best(\%peer, tar => best_time(1, ['tar', '-C', $target, '-xzf', $payload]));
}
fresh();
compare(what => 'demo: ryninst --yes (test run, check, runtime copy)', ours_time => $ours{install},
        peer => 'tar -xzf', peer_time => $peer{tar}, target => 1.3);
compare(what => 'demo: test run, extraction and MD5 check alone', ours_time => $ours{phases},
        peer => 'tar -xzf', peer_time => $peer{tar});
remove_tree($work);

# KALDOR::Install::ProcState against /proc, ps and children of our own: the
# snapshot, the module map, owners and termination.
use strict;
use warnings;
use Test::More;
use LmxTest qw(finish temp_dir);
use LmxTest::Proc qw(cmdline_of);

bootstrap KALDOR::Install::ProcState;
bootstrap KALDOR::Install::PipeExec;

my $class = 'KALDOR::Install::ProcState';
my $modules = KALDOR::Install::ProcState::LMX_PROCSTATE_FLAG_MODULES();
my $runtime = "$KALDOR::Install::Config{RuntimeDir}/lmxrun.so";

# A child of ours that runs until its input closes.
sub waiting_child {
    my $p = KALDOR::Install::PipeExec->new;
    defined $p->Open('sleep 30') or die $p->GetError;
    return $p;
}

# The Windows form of a command line (as the layer joins arguments).
sub joined {
    return join ' ', map { /[\s"]/ || $_ eq '' ? do { (my $a = $_) =~ s/"/\\"/g; "\"$a\"" } : $_ } @_;
}

subtest 'the snapshot' => sub {
    my $child = waiting_child();
    my $ps = $class->new;
    isa_ok($ps, $class);
    ok(ref $ps->{procs} eq 'ARRAY' && @{ $ps->{procs} } > 2, 'procs holds the processes');
    ok(!exists $ps->{modlistptr}, 'no module map without the flag');
    is($ps->{procs}[0]{pid}, 0, 'process 0 comes first');
    is($ps->GetCmd(0), 'idle', 'and is idle');
    is($ps->GetArgs(0), undef, 'without a command line');

    is($ps->GetPPid($$), getppid(), 'our parent');
    is($ps->GetCmd($$), 'ryninst', 'our executable');
    is($ps->GetArgs($$), joined(cmdline_of($$)), 'our command line');
    is($ps->GetUid($$), $<, 'our real user id');

    my @ps = map { [split ' ', $_, 3] } grep { /\d/ } `ps -e -o pid=,ppid=`;
    my %ppid = map { $_->[0] => $_->[1] } @ps;
    my @first = grep { $ppid{$_} == 0 } keys %ppid;
    ok(@first > 0, 'ps lists processes whose parent is 0');
    is_deeply([map { $ps->GetPPid($_) } @first], [map { 0 } @first], 'so do we');
    is($ps->GetCmd(1) ne '', 1, 'process 1 has a name');

    my ($pid) = grep { ($ps->GetPPid($_) // -1) == $$ } map { $_->{pid} } @{ $ps->{procs} };
    ok(defined $pid, 'our child is in the snapshot');
    is($ps->GetCmd($pid), 'sleep', 'with its executable');
    is($ps->GetArgs($pid), 'sleep 30', 'and its command line');
    is($child->CloseStdin, 0, 'closing its input');
    KALDOR::Install::ProcState->new->Terminate($pid);
    is($child->Close, 0, 'Terminate ends it with exit code 0');
    my $later = $class->new;
    is($later->GetCmd($pid), undef, 'a later snapshot no longer has it');
    is($ps->GetCmd($pid), 'sleep', 'the first one still does');
};

subtest 'accessors and their arguments' => sub {
    my $ps = $class->new;
    is($ps->GetPPid(4294967294), undef, 'a pid not in the snapshot');
    is($ps->GetCmd(), undef, 'a missing pid argument');
    is(KALDOR::Install::ProcState::GetCmd({}, $$), undef, 'an object without procs');
    is(KALDOR::Install::ProcState::GetCmd({ procs => $ps->{procs} }, $$), 'ryninst',
       'any hash with procs will do');
    is($ps->Terminate(4294967294), 0, 'Terminate of a missing pid returns 0');
    is($ps->WhoUsesPort(80), undef, 'WhoUsesPort');
    is($class->new(KALDOR::Install::ProcState::LMX_PROCSTATE_FLAG_SOCKETS())->WhoUsesPort(22),
       undef, 'also with the sockets flag');
    is(ref KALDOR::Install::ProcState::new('My::Procs'), 'My::Procs', 'a class of our own');
    is(ref KALDOR::Install::ProcState::new(''), $class, 'an empty class name');
    ok(!exists $class->new('1')->{modlistptr}, 'flags given as a string count as 0');
};

subtest 'owners' => sub {
    open(my $in, '<', '/etc/machine-id') or plan skip_all => 'no /etc/machine-id';
    my ($id) = <$in> =~ /^([0-9a-f]{24})/;
    my $machine = join '-', 'S-1-5-21', map { hex substr($id, $_ * 8, 8) } 0 .. 2;
    my $ps = $class->new;
    is($ps->GetSID($$), "$machine-" . (1000 + $<), 'our owner is our user, by the identity mapping');
    is($ps->GetSID(4294967294), undef, 'no owner for a missing process');
};

subtest 'modules' => sub {
    my $child = waiting_child();
    my $ps = $class->new($modules);
    ok($ps->{modlistptr}, 'the module map');
    my $users = $ps->WhoUsesModule($runtime);
    ok(ref $users eq 'ARRAY' && grep({ $_ == $$ } @$users), 'the runtime library is used by us');
    ok(!grep({ $_ == 0 } @$users), 'and not by process 0');

    my $dir = temp_dir();
    symlink($runtime, "$dir/link.so") or die "symlink: $!";
    is_deeply($ps->WhoUsesModule("$dir/link.so"), $users, 'the same through a symbolic link');
    (my $dotted = $runtime) =~ s{/([^/]+)$}{/./$1};
    is_deeply($ps->WhoUsesModule($dotted), $users, 'through another spelling of the path');
    (my $windows = "C:$runtime") =~ s{/}{\\}g;
    is_deeply($ps->WhoUsesModule($windows), $users, 'and in Windows form');

    my ($sleep) = grep { ($ps->GetPPid($_) // -1) == $$ } map { $_->{pid} } @{ $ps->{procs} };
    my $binary = readlink("/proc/$sleep/exe");
    ok(grep({ $_ == $sleep } @{ $ps->WhoUsesModule($binary) || [] }), 'a child uses its program');
    $child->CloseStdin;
    $ps->Terminate($sleep);
    $child->Close;

    is($ps->WhoUsesModule(''), undef, 'an empty path');
    is($ps->WhoUsesModule("$dir/missing.so"), undef, 'a missing file');
    is($ps->WhoUsesModule(LmxTest::write_file("$dir/plain", 'x')), undef, 'a file nobody has mapped');
    is($class->new->WhoUsesModule($runtime), undef, 'a snapshot without modules');
    $ps->DESTROY;
    is($ps->WhoUsesModule($runtime), undef, 'nothing after DESTROY');
    $ps->DESTROY;
    pass('a second DESTROY is harmless');
};

LmxTest::finish();

# KALDOR::Install::SysInfo and KALDOR::Install::MachInfo: this machine's
# description against uname, ldd, /proc/cpuinfo, nproc and /proc/meminfo;
# IsRunnable and the per-system comparisons; the command helpers through
# PipeExec, with stand-in commands on PATH.
use strict;
use warnings;
use Test::More;
use LmxTest qw(finish temp_dir write_file read_file);
use LmxTest::Untgz qw(run_script);

bootstrap KALDOR::Install::SysInfo;
bootstrap KALDOR::Install::MachInfo;
bootstrap KALDOR::Install::BuildInfo;

my $tmp = temp_dir();
my $ours = KALDOR::Install::SysInfo::GetSystemInfo();

sub IsRunnable { return KALDOR::Install::SysInfo::IsRunnable(@_) }
sub magic_of_file {
    my ($bytes) = @_;
    my $path = write_file("$tmp/m" . rand(), $bytes);
    return KALDOR::Install::BuildInfo::GetMagicString($path);
}

subtest 'GetSystemInfo describes this host' => sub {
    chomp(my $release = `uname -r`);
    chomp(my $machine = `uname -m`);
    my ($glibc) = `ldd --version` =~ /^ldd .*?(\d+\.\d+(?:\.\d+)?)\s*$/m;
    is($ours->{system}, 'Linux', 'system');
    is($ours->{version}, $release, 'version: uname -r');
    is($ours->{subversion}, '', 'subversion: present and empty');
    is($ours->{architecture}, 'X86-64', 'architecture') if $machine eq 'x86_64';
    is($ours->{c_runtime}, "GLIBC $glibc", 'c_runtime: ldd --version');
    ok(!exists $ours->{$_}, "no $_") for qw(cpp_runtime cpp_runtime64);
    my ($flags) = read_file('/proc/cpuinfo') =~ /^flags\s*:\s*(.*)$/m;
    my %has = map { $_ => 1 } split ' ', $flags // '';
    my $expected = join ' ', map { $_->[0] } grep { $has{ $_->[1] } }
      ['sse', 'sse'], ['sse2', 'sse2'], ['cmpxchg16b', 'cx16'];
    is($ours->{processor_features}, $expected, 'processor_features: the flags of /proc/cpuinfo')
      if $machine eq 'x86_64';
    my $again = KALDOR::Install::SysInfo::GetSystemInfo(1, 2);
    is_deeply($again, $ours, 'arguments are ignored');
    $again->{system} = 'changed';
    is(KALDOR::Install::SysInfo::GetSystemInfo()->{system}, 'Linux', 'a new hash each time');
};

# The memory limit of this process's own control group, if it sets one.
sub cgroup_limit {
    for my $line (split /\n/, read_file('/proc/self/cgroup') // '') {
        my ($id, $controllers, $path) = split /:/, $line, 3;
        my $file = $id eq '0' && $controllers eq '' ? "/sys/fs/cgroup$path/memory.max"
                 : $controllers =~ /\bmemory\b/ ? "/sys/fs/cgroup/memory$path/memory.limit_in_bytes"
                 : next;
        my $value = read_file($file);
        return $1 if defined $value && $value =~ /^(\d+)/;
    }
    return undef;
}

sub scaled {
    my ($n) = @_;
    my $unit = $n == 0 ? 1 : $n < 128 * 2**20 ? 1024 : $n < 128 * 2**30 ? 2**20 : 2**30;
    return [int($n / $unit), $unit];
}

subtest 'GetMachInfo agrees with nproc and /proc/meminfo' => sub {
    my $info = KALDOR::Install::MachInfo::GetMachInfo();
    local $ENV{OMP_NUM_THREADS};
    local $ENV{OMP_THREAD_LIMIT};
    delete @ENV{qw(OMP_NUM_THREADS OMP_THREAD_LIMIT)};
    chomp(my $nproc = `nproc`);
    is($info->{NumOfCPU}, $nproc, 'NumOfCPU: nproc');
    my %meminfo = read_file('/proc/meminfo') =~ /^(\w+):\s+(\d+) kB$/mg;
    my $total = $meminfo{MemTotal} * 1024;
    my $limit = cgroup_limit();
    $total = $limit if defined $limit && $limit < $total;
    is_deeply($info->{PhysicalMemoryTotal}, scaled($total), 'total: MemTotal or the group limit');
    my ($value, $unit) = @{ $info->{PhysicalMemoryAvailable} };
    my $available = $value * $unit;
    ok($available <= $total, 'available memory is at most the total');
    my $kernel = $meminfo{MemAvailable} * 1024;
    ok(abs($available - $kernel) < $kernel / 5 || (defined $limit && $limit < $total),
       'available: MemAvailable, give or take what changed meanwhile');
    SKIP: {
        skip 'taskset is not installed', 1 unless -x '/usr/bin/taskset';
        my ($code, $out) = run_script(<<'PL', prefix => ['/usr/bin/taskset', '-c', '0']);
bootstrap KALDOR::Install::MachInfo;
print KALDOR::Install::MachInfo::GetMachInfo()->{NumOfCPU}, "\n";
0;
PL
        is($out, "1\n", 'a process bound to one processor counts one');
    }
};

subtest "IsRunnable on this machine's own magic texts" => sub {
    my $elf = sub {
        my ($class, $encoding, $machine) = @_;
        my $half = $encoding == 2 ? 'n' : 'v';
        return "\x7fELF" . pack('C4', $class, $encoding, 1, 0) . "\0" x 8
          . pack("$half$half", 2, $machine) . "\0" x 44;
    };
    my $pe = 'MZ' . "\0" x 58 . pack('v', 0x40) . "\0\0" . "PE\0\0" . pack('v', 0x8664)
      . "\0" x 16 . pack('v', 2) . "\0" x 100;
    for my $file ('/bin/ls', LmxTest::kit() . '/lmxrun.so', LmxTest::kit() . '/ryninst') {
        my $magic = KALDOR::Install::BuildInfo::GetMagicString(my $copy = $file);
        is(IsRunnable($ours, undef, $magic), 1, "$file ($magic)");
    }
    my %foreign = ('a Windows program' => $pe, 'a SPARC ELF file' => $elf->(1, 2, 2),
                   'an AIX file' => pack('n', 0x01DF) . "\0" x 60,
                   'an AIX 5 file' => pack('n', 0x01F7) . "\0" x 60);
    for my $what (sort keys %foreign) {
        my $magic = magic_of_file($foreign{$what});
        is(IsRunnable($ours, undef, $magic), 0, "$what ($magic)");
    }
    is(IsRunnable($ours, undef, magic_of_file($elf->(1, 1, 3))), 1, 'a 32-bit i386 ELF file');
    is(IsRunnable($ours, undef, 'unknown magic'), 1, 'a magic text that says unknown');
    is(IsRunnable($ours, undef, 'JAR or ZIP archive'), 1, 'a Java archive');
};

subtest 'IsRunnable: the rules' => sub {
    my $win = {system => 'Windows', architecture => 'AMD64', version => 'NT 6.1'};
    is(IsRunnable($win, undef, 'MS Windows 32-bit i386 executable'), 1, 'Windows AMD64: i386');
    is(IsRunnable($win, undef, 'MS Windows 64-bit IA64 executable'), 0, 'Windows AMD64: IA64');
    is(IsRunnable({%$win, architecture => 'I386'}, undef, 'MS Windows 64-bit AMD64'), 0,
       'Windows I386: AMD64');
    is(IsRunnable({%$win, architecture => 'MIPS'}, undef, 'MS Windows'), 1, 'another architecture');
    is(IsRunnable($win, undef, 'elf 64-bit lsb X86-64 executable'), 0, 'Windows: an ELF file');
    is(IsRunnable({}, undef, 'x JAR y'), 1, 'JAR without a system');
    is(IsRunnable({}, undef, 'MS Windows'), 0, 'no system');
    is(IsRunnable(undef, undef, 'JAR'), 0, 'no description');
    is(IsRunnable($ours, undef, undef), 0, 'no magic');
    is(IsRunnable({system => 'BeOS', architecture => 'x'}, undef, 'anything'), 1, 'an unknown system');

    my $os400 = {system => 'OS400', architecture => 'PPC', version => 5, subversion => 3};
    is(IsRunnable($os400, undef, 'RS6000 32-bit'), 0, 'OS400 needs AIX and a blank');
    is(IsRunnable({%$os400, version => 6}, undef, 'AIX 4 64-bit'), 1, 'OS400 above 5');
    is(IsRunnable({%$os400, version => 4}, undef, 'AIX 5 64-bit'), 0, 'OS400 below 5');
    is(IsRunnable({%$os400, subversion => 4}, undef, 'AIX 4 64-bit'), 1, 'OS400 5.4');
    is(IsRunnable($os400, undef, 'AIX 4 64-bit executable'), 0, 'OS400 5.3 and AIX 4 64-bit');
    is(IsRunnable($os400, undef, 'AIX 5 64-bit executable'), 1, 'OS400 5.3 and AIX 5');

    my $aix = {system => 'AIX', architecture => 'PPC', version => '4.3.3'};
    is(IsRunnable($aix, undef, 'AIX 5 64-bit executable'), 0, 'AIX 4 and an AIX 5 program');
    is(IsRunnable({%$aix, version => '5.3.0'}, undef, 'AIX 5 64-bit executable'), 1, 'AIX 5');
    is(IsRunnable({%$aix, version => '5.3.0'}, undef, 'AIX 4 64-bit executable'), 0, 'AIX 4 64-bit');
    is(IsRunnable($aix, undef, 'RS6000 32-bit executable or object module'), 0,
       'AIX: a text without AIX');
    my $hpux = {system => 'HPUX', architecture => 'PA-RISC', version => 'B.11.11'};
    is(IsRunnable($hpux, undef, 'HP-UX 32-bit PA-RISC 1.1 shared library'), 1, 'HPUX PA-RISC');
    is(IsRunnable($hpux, undef, 'elf HP-UX 64-bit msb IA64 executable'), 0, 'HPUX PA-RISC: IA64');
    is(IsRunnable({%$hpux, architecture => 'IA64'}, undef, 'elf HP-UX 64-bit msb IA64 executable'),
       1, 'HPUX IA64');
    is(IsRunnable($hpux, undef, 'elf 64-bit lsb X86-64'), 0, 'HPUX: no HP');
    my $linux = {system => 'Linux', architecture => 'I386'};
    is(IsRunnable($linux, undef, 'elf 64-bit lsb X86-64 executable'), 0, 'Linux I386: X86-64');
    is(IsRunnable({%$linux, architecture => 'PPC'}, undef, 'elf 64-bit msb PPC64 executable'), 1,
       'Linux PPC');
    is(IsRunnable({%$linux, architecture => 'S390'}, undef, 'elf 64-bit msb PPC64 executable'), 0,
       'Linux S390: PPC');
    is(IsRunnable($linux, undef, 'elf HP-UX 32-bit lsb i386 executable'), 0, 'Linux: HP-UX');
    my $solaris = {system => 'Solaris', architecture => 'SPARC'};
    is(IsRunnable($solaris, undef, 'elf 32-bit msb SPARC executable'), 1, 'Solaris SPARC');
    is(IsRunnable({%$solaris, architecture => 'X86-64'}, undef, 'elf 32-bit msb SPARC'), 0,
       'Solaris X86-64: SPARC');
    is(IsRunnable($solaris, undef, 'coff ALPHA 64-bit'), 0, 'Solaris: no ELF');
    my $tru64 = {system => 'Tru64', architecture => 'ALPHA'};
    is(IsRunnable($tru64, undef, 'coff ALPHA 64-bit ZMAGIC'), 1, 'Tru64: coff ALPHA');
    is(IsRunnable($tru64, undef, 'elf 64-bit lsb X86-64'), 0, 'Tru64: ELF');
    is(IsRunnable({system => 'Reliant', architecture => 'MIPS'}, undef, 'anything'), 1, 'Reliant');

    my $theirs = {system => 'True64', architecture => 'ALPHA', version => '4.0F'};
    is(IsRunnable({%$tru64, version => '5.0'}, $theirs, 'coff ALPHA 64-bit'), 1, 'their True64');
    is($theirs->{system}, 'Tru64', 'their system is rewritten to Tru64');
    is(IsRunnable($ours, {system => 'Linux'}, 'elf'), 1, 'their architecture undefined');
    is(IsRunnable($ours, {%$ours, system => 'Solaris'}, 'elf'), 0, 'different systems');
    is(IsRunnable($ours, {%$ours, architecture => 'I386'}, 'elf'), 1, 'their I386 on our X86-64');
    is(IsRunnable({%$ours, architecture => 'I386'}, {%$ours, architecture => 'X86-64'}, 'elf'), 0,
       'their X86-64 on our I386');
    is(IsRunnable({%$ours, c_runtime => 'GLIBC 2.3.2'}, {%$ours, c_runtime => 'GLIBC 2.36'}, 'elf'),
       0, 'their newer C library');
    is(IsRunnable({system => 'BeOS', architecture => 'x'}, {system => 'BeOS', architecture => 'x'},
                  'anything'), 1, 'an unknown system of theirs');
};

subtest 'the per-system comparisons' => sub {
    package KALDOR::Install::SysInfo;
    use Test::More;
    my $tru = sub { return ({system => 'Tru64', version => $_[0]}, {version => $_[1]}) };
    is(is_runnable_tru64($tru->('5.0', '4.0F')), 1, 'Tru64 5.0 runs 4.0F');
    is(is_runnable_tru64($tru->('4.0A', '4.0F')), 0, 'Tru64 4.0A does not run 4.0F');
    is(is_runnable_tru64($tru->('4.0F', '4.0F')), 1, 'equal');
    is(is_runnable_tru64($tru->('V5.1B', '5.1')), 1, '5.1B is 5.1.2');
    is(is_runnable_tru64($tru->('', '0.0')), 1, 'no numbers are 0.0.0');
    is(is_runnable_tru64({system => 'Linux', version => '9.9'}, {version => '1.0'}), 0, 'not Tru64');

    my $sol = sub { return ({system => 'Solaris', version => $_[0]}, {version => $_[1]}) };
    my @solaris = (['2.5.1', '2.6', 0], ['2.6', '2.6', 1], ['2.6', '7', 0], ['7', '7', 1],
                   ['7', '8', 0], ['2.5', '8', 0], ['8', '9', 0], ['9', '9', 1], ['9', '10', 0],
                   ['10', '10', 1], ['2.4', '11', 1], ['8', '2.5', 1]);
    is(is_runnable_solaris($sol->($_->[0], $_->[1])), $_->[2], "Solaris $_->[0] runs $_->[1]: $_->[2]")
      for @solaris;

    my $aix = sub { return ({system => 'AIX', version => $_[0]}, {version => $_[1]}, $_[2]) };
    is(is_runnable_aix($aix->('5.3.0', '5.2.0', 'AIX 5 64-bit')), 1, 'AIX 5.3 runs 5.2');
    is(is_runnable_aix($aix->('5.2.0', '5.3.0', 'RS6000 32-bit')), 0, 'AIX 5.2 does not run 5.3');
    is(is_runnable_aix($aix->('5.3.0', '4.3.3', 'AIX 4 64-bit')), 0, '64-bit: AIX 5 and a 4 program');
    is(is_runnable_aix($aix->('5.3.0', '4.3.3', 'RS6000 32-bit')), 1, '32-bit: AIX 5 runs a 4 program');
    is(is_runnable_aix($aix->('5.3', '4.3.3', 'x')), 1, 'a version without three numbers: 1');

    my $two = sub { return ({system => $_[0], version => $_[1]}, {version => $_[2]}) };
    is(is_runnable_hpux($two->('HPUX', 'B.11.11', 'B.11.00')), 1, 'HP-UX 11.11 runs 11.00');
    is(is_runnable_hpux($two->('HPUX', 'B.11.00', 'B.11.11')), 0, 'HP-UX 11.00 does not run 11.11');
    is(is_runnable_hpux($two->('HPUX', 'B', 'B.11.11')), 1, 'no numbers: 1');
    is(is_runnable_reliant($two->('Reliant', '5.45', '5.43')), 1, 'Reliant 5.45 runs 5.43');
    is(is_runnable_reliant($two->('HPUX', '5.45', '5.43')), 0, 'not Reliant');

    my $lin = sub { return ({system => 'Linux', c_runtime => $_[0]}, {c_runtime => $_[1]}) };
    is(is_runnable_linux($lin->('GLIBC 2.36', 'GLIBC 2.17')), 1, 'glibc 2.36 runs 2.17');
    is(is_runnable_linux($lin->('GLIBC 2.17', 'GLIBC 2.36')), 0, 'glibc 2.17 does not run 2.36');
    is(is_runnable_linux($lin->('GLIBC 2.3.2', 'GLIBC 2.3.4')), 0, 'the third number breaks a tie');
    is(is_runnable_linux($lin->('GLIBC 2.3', 'GLIBC 2.3.4')), 1, 'only one side has a third');
    is(is_runnable_linux($lin->('GLIBC 2.36', '')), 1, 'theirs empty');
    is(is_runnable_linux($lin->(undef, 'GLIBC 2.36')), 1, 'ours undefined');
    is(is_runnable_linux($lin->('musl', 'GLIBC 2.36')), 1, 'ours without numbers');
};

subtest 'the command helpers through PipeExec' => sub {
    package KALDOR::Install::SysInfo;
    use Test::More;
    is(get_aix_version(), undef, 'no oslevel on this host');
    is(get_tru64_version(), undef, 'no sizer');
    is(get_tru64_subversion(), undef, 'no patch log');
    is_deeply([get_solaris_cppruntime('9', 'X86-64')], ['no patch installed', 'no patch installed'],
              'no showrev');
    is_deeply([get_solaris_cppruntime('2.6')], ['no patch installed'], '2.6 has no 64-bit patch');
    is_deeply([get_solaris_cppruntime('10')], [], 'version 10: the empty list');
    is_deeply([get_solaris_cppruntime(undef)], [], 'no version: the empty list');

    my $bin = LmxTest::temp_dir();
    my %commands = (
        oslevel => "printf '5.3.0.0\\nsecond line\\n'",
        sizer => "[ \"\$1\" = -v ] && echo 'Compaq Tru64 UNIX V5.1B (Rev. 2650); Mon Jan  1'",
        showrev => "[ \"\$1\" = -p ] && printf 'Patch: 111713-03 Obsoletes:\\nPatch: 111713-11 x\\n"
                   . "Patch: 111712-02 x\\nPatch: 1117130-99 x\\nPatch:  111713-07 x\\n'",
    );
    for my $name (keys %commands) {
        LmxTest::write_file("$bin/$name", "#!/bin/sh\n$commands{$name}\n");
        chmod 0755, "$bin/$name";
    }
    local $ENV{PATH} = "$bin:$ENV{PATH}";
    is(get_aix_version(), '5.3.0.0', 'oslevel: its first line');
    is(get_tru64_version(), '5.1B', 'sizer -v: the version before (Rev');
    is_deeply([get_solaris_cppruntime('9', 'X86-64')], ['111713-11', '111712-02'],
              'showrev -p: the highest revision of each patch');
    is_deeply([get_solaris_cppruntime('9', 'SPARC')], ['no patch installed', '111712-02'],
              'SPARC looks for 111711');
    is(HostPath('C:\\tmp\\a'), '/tmp/a', 'HostPath translates drive and backslashes');
    is(HostPath('Q:\\a'), undef, 'HostPath of an unknown drive');
};

LmxTest::finish();

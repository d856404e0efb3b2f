# KALDOR::Install::BuildInfo, KALDOR::Install::FileMagic and
# KALDOR::Install::System::Win32::VersionInfo: magic texts of real and
# hand-built program files, build strings and version values of Windows
# programs made with the MinGW-w64 cross compilers (pefile and readelf as
# oracles), archive entries read through Untgz, Java archives through the
# Jar subs, and broken or hostile program files.
use strict;
use warnings;
use Test::More;
use LmxTest qw(finish temp_dir write_file read_file gnu_tar);
use LmxTest::ProgramFiles qw(windows_programs pefile_python pe_facts elf_object);

bootstrap KALDOR::Install::BuildInfo;
bootstrap KALDOR::Install::System::Win32::VersionInfo;
bootstrap KALDOR::Install::Untgz;

# The functions turn slashes into backslashes in the caller's own string;
# the tests call them with copies, except where that is what they test.
my %native = (GetMagicString => \&KALDOR::Install::BuildInfo::GetMagicString,
              GetBuildString => \&KALDOR::Install::BuildInfo::GetBuildString,
              GetBuildInfo => \&KALDOR::Install::BuildInfo::GetBuildInfo,
              SysVersionInfo => \&KALDOR::Install::System::Win32::VersionInfo::SysVersionInfo);
for my $name (keys %native) {
    my $native = $native{$name};
    no strict 'refs';
    *$name = sub { my @copies = @_; return $native->(@copies) };
}

my $tmp = temp_dir();
my $programs = windows_programs();
my $python = pefile_python();
my $n = 0;

sub file_of { my ($bytes) = @_; return write_file("$tmp/f" . $n++, $bytes) }
sub magic_of { my ($bytes) = @_; return GetMagicString(file_of($bytes)) }

# --- Hand-built headers ---

sub elf {
    my (%o) = @_;
    my $encoding = defined $o{encoding} ? $o{encoding} : 1;
    my $half = $encoding == 2 ? 'n' : 'v';
    return "\x7fELF" . pack('C4', defined $o{class} ? $o{class} : 2, $encoding, 1, $o{abi} || 0)
      . "\0" x 8 . pack("$half$half", defined $o{type} ? $o{type} : 2, defined $o{machine} ? $o{machine} : 62)
      . "\0" x 44;
}

# A DOS header naming a PE header at $offset, a stub up to it, the header.
sub pe {
    my (%o) = @_;
    my $offset = $o{offset} || 0x40;
    my $stub = defined $o{stub} ? $o{stub} : '';
    my $dos = 'MZ' . "\0" x 58 . pack('v', $offset) . "\0\0";
    $stub .= "\0" x ($offset - 64 - length $stub);
    return $dos . $stub . "PE\0\0" . pack('v', $o{machine}) . "\0" x 16
      . pack('v', $o{characteristics} || 0) . "\0" x 232;
}

subtest 'hand-built Windows, MS DOS and ZIP headers' => sub {
    my %machines = (0x0000 => 'unknown machine', 0x014C => 'i386', 0x0160 => 'MIPS R3000 big-endian',
                    0x0166 => 'MIPS R4000 little-endian', 0x0168 => 'MIPS R10000 little-endian',
                    0x0169 => 'MIPS WCE v2 little-endian', 0x0184 => 'ALPHA 32-bit',
                    0x01F0 => 'PowerPC', 0x0200 => 'IA64', 0x0284 => 'ALPHA 64-bit',
                    0x8664 => 'AMD64');
    my %words = (0x014C => ' 32-bit', 0x0200 => ' 64-bit', 0x8664 => ' 64-bit');
    for my $machine (sort { $a <=> $b } keys %machines) {
        is(magic_of(pe(machine => $machine, characteristics => 0x2002)),
           'MS Windows' . ($words{$machine} || '') . " $machines{$machine} executable dll",
           sprintf('machine 0x%04X', $machine));
    }
    is(magic_of(pe(machine => 0x8664, characteristics => 0x3022)),
       'MS Windows 64-bit AMD64 executable system file dll', 'every characteristics bit, in order');
    is(magic_of(pe(machine => 0x8664)), 'MS Windows 64-bit AMD64', 'no characteristics bit');
    is(magic_of(pe(machine => 0x1C0)), 'MS DOS', 'a machine outside the table: MS DOS');
    is(magic_of('MZ' . "\0" x 200), 'MS DOS', 'MZ without a PE signature');
    is(magic_of('MZ'), 'MS DOS', 'MZ alone');
    # Text mode: CR LF in the DOS stub moves the header one byte forward,
    # which is still found; two such pairs move it out of reach; a Ctrl-Z
    # ends the data before it.
    is(magic_of(pe(machine => 0x14C, offset => 0x80, stub => "stub\r\n")),
       'MS Windows 32-bit i386', 'one CR LF in the stub');
    is(magic_of(pe(machine => 0x14C, offset => 0x80, stub => "\r\n\r\n")), 'MS DOS',
       'two CR LF pairs in the stub');
    is(magic_of(pe(machine => 0x14C, offset => 0x80, stub => "\r\r\n")), 'MS Windows 32-bit i386',
       'CR CR LF counts as one pair');
    is(magic_of(pe(machine => 0x14C, offset => 0x80, stub => "\x1a")), 'MS DOS',
       'a Ctrl-Z in the stub ends the data');
    my $far = pe(machine => 0x14C, offset => 0xF000);
    is(magic_of($far), 'MS DOS', 'a PE header beyond the first 4096 bytes');
    is(magic_of("PK\3\4rest"), 'JAR or ZIP archive', 'the ZIP signature');
    is(magic_of(''), 'unknown magic', 'an empty file');
    is(magic_of("M"), 'unknown magic', 'one byte');
    is(magic_of("PK\3"), 'unknown magic', 'three bytes of the ZIP signature');
    my $pe = pe(machine => 0x8664, characteristics => 2);
    is(magic_of(substr($pe, 0, 0x40 + 23)), 'MS DOS', 'a PE header cut one byte short');
    is(magic_of(substr($pe, 0, 0x40 + 24)), 'MS Windows 64-bit AMD64 executable', 'and whole');
};

subtest 'hand-built ELF headers: every table row' => sub {
    my %abis = (1 => 'HP-UX', 2 => 'NetBSD', 3 => 'GNU/Linux', 4 => 'GNU/Hurd', 6 => 'Solaris',
                7 => 'AIX', 8 => 'IRIX', 9 => 'FreeBSD', 10 => 'TRU64 UNIX', 11 => 'Novell Modesto',
                12 => 'OpenBSD', 13 => 'OpenVMS', 14 => 'Hewlett-Packard Non-Stop Kernel',
                15 => 'Amiga Research OS', 97 => 'ARM', 255 => 'Standalone (embedded) application');
    is(magic_of(elf(abi => $_)), "elf $abis{$_} 64-bit lsb X86-64 executable", "OS ABI $_")
      for sort { $a <=> $b } keys %abis;
    my %machines = (0 => 'no machine', 1 => 'AT&T WE32100', 2 => 'SPARC', 3 => 'i386',
                    4 => 'Motorola 68000', 5 => 'Motorola 88000', 6 => 'i486', 7 => 'i860',
                    8 => 'MIPS R3000 big endian', 10 => 'MIPS R3000 little endian', 11 => 'RS6000',
                    15 => 'PA-RISC', 16 => 'nCUBE', 17 => 'Fujitsu VPP500', 18 => 'SPARC V8plus',
                    20 => 'PPC', 21 => 'PPC64', 22 => 'S390', 43 => 'SPARC V9', 50 => 'IA64',
                    62 => 'X86-64');
    for my $machine (sort { $a <=> $b } keys %machines) {
        is(magic_of(elf(machine => $machine, encoding => 2, class => 1, type => 3)),
           "elf 32-bit msb $machines{$machine} shared object", "machine $machine, big-endian");
    }
    my %types = (0 => 'no type', 1 => 'relocatable object', 2 => 'executable', 3 => 'shared object',
                 4 => 'core');
    is(magic_of(elf(type => $_)), "elf 64-bit lsb X86-64 $types{$_}", "type $_") for sort keys %types;
    is(magic_of(elf(encoding => 0)), 'elf 64-bit invalid data encoding X86-64 executable',
       'data encoding 0 is in its table');
    is(magic_of(elf(class => 2, encoding => 2, machine => 2, type => 3)),
       'elf 64-bit msb SPARC shared object', 'type and machine read big-endian');
    is(magic_of(elf(class => 1, encoding => 1, machine => 2 << 8, type => 3 << 8)), 'unknown magic',
       'the same bytes read little-endian are no ELF values');
    for my $bad ([class => 0], [class => 3], [abi => 5], [machine => 9], [type => 5],
                 [encoding => 3]) {
        is(magic_of(elf(@$bad)), 'unknown magic', "@$bad is outside its table");
    }
    is(magic_of(substr(elf(), 0, 19)), 'unknown magic', 'a header cut before the machine');
};

subtest 'hand-built HP, COFF and XCOFF headers' => sub {
    my %systems = (0x0208 => 'HP 9000 Series 500', 0x020A => 'HP 9000 Series 200',
                   0x020B => 'PA-RISC 1.0', 0x020C => 'Motorola 68020', 0x020D => 'Motorola 68030',
                   0x020E => 'Motorola 68040', 0x0210 => 'PA-RISC 1.1', 0x0211 => 'PA-RISC 1.2',
                   0x0214 => 'PA-RISC 2.0');
    my %own = map { $_ => 1 } 0x0208, 0x020A, 0x020C, 0x020D, 0x020E;
    for my $id (sort keys %systems) {
        is(magic_of(pack('n n', $id, 0x010B) . "\0" x 60),
           ($own{$id} ? 'HP ' : 'HP-UX 32-bit ') . "$systems{$id} demand-load executable",
           sprintf('system id 0x%04X', $id));
    }
    my %magics = (0x0106 => 'relocatable object', 0x0107 => 'normal executable',
                  0x0108 => 'shared executable', 0x0109 => 'shm-magic executable',
                  0x010B => 'demand-load executable', 0x010D => 'dynamic load library',
                  0x010E => 'shared library');
    is(magic_of(pack('n n', 0x0210, $_) . "\0" x 60), "HP-UX 32-bit PA-RISC 1.1 $magics{$_}",
       sprintf('magic 0x%04X', $_)) for sort keys %magics;
    is(magic_of(pack('n n', 0x0201, 0x010B) . "\0" x 60), 'unknown magic', 'an unknown system id');

    my $coff = sub {
        my ($file, $optional, $flags) = @_;
        return pack('v', $file) . "\0" x 16 . pack('v v', $flags, $optional) . "\0" x 40;
    };
    my %files = (0x0183 => 'ALPHA 64-bit', 0x0188 => 'ALPHA 64-bit compressed',
                 0x018F => 'ALPHA 64-bit UCODE');
    my %optional = (0x0107 => 'OMAGIC', 0x0108 => 'NMAGIC', 0x0109 => 'SMAGIC', 0x010B => 'ZMAGIC',
                    0x0123 => 'LIBMAGIC');
    is(magic_of($coff->($_, 0x010B, 0x0002)), "coff $files{$_} ZMAGIC executable",
       sprintf('COFF file magic 0x%04X', $_)) for sort keys %files;
    is(magic_of($coff->(0x0183, $_, 0)), "coff ALPHA 64-bit $optional{$_}",
       sprintf('COFF optional magic 0x%04X', $_)) for sort keys %optional;
    is(magic_of($coff->(0x0183, 0x0107, 0x0032)),
       'coff ALPHA 64-bit OMAGIC executable no shared no call shared', 'every COFF flag, in order');
    is(magic_of($coff->(0x0183, 0x0110, 0)), 'unknown magic', 'an unknown optional magic');

    my %xcoff = (0x0104 => 'shared library', 0x0103 => 'RT2 executable or obj module',
                 0x01F7 => 'AIX 5 64-bit executable or object module',
                 0x01DF => 'RS6000 32-bit executable or object module',
                 0x01EF => 'AIX 4 64-bit executable or object module');
    is(magic_of(pack('n', $_) . "\0" x 60), $xcoff{$_}, sprintf('XCOFF 0x%04X', $_))
      for sort keys %xcoff;
};

# The ELF text that readelf's view of a file gives.
sub readelf_magic {
    my ($path) = @_;
    my %h = map { /^\s*([^:]+):\s*(.*?)\s*$/ ? ($1, $2) : () } `readelf -h '$path'`;
    my %abi = ('UNIX - System V' => '', 'UNIX - GNU' => 'GNU/Linux');
    my %type = (REL => 'relocatable object', EXEC => 'executable', DYN => 'shared object',
                CORE => 'core');
    my ($type) = $h{Type} =~ /^(\w+)/;
    return join ' ', 'elf', grep({ length } $abi{ $h{'OS/ABI'} }),
      ($h{Class} eq 'ELF64' ? '64-bit' : '32-bit'), ($h{Data} =~ /little/ ? 'lsb' : 'msb'),
      ($h{Machine} =~ /X86-64/ ? 'X86-64' : $h{Machine}), $type{$type};
}

subtest "this machine's ELF files against readelf" => sub {
    my ($libc) = `ldd /bin/ls` =~ m{(/\S*libc\.so\.\d+)};
    for my $file ('/bin/ls', $libc, elf_object(), LmxTest::kit() . '/lmxrun.so') {
        is(GetMagicString($file), readelf_magic($file), $file);
    }
    is(GetBuildString('/bin/ls'), undef, 'no build string');
    is_deeply(GetBuildInfo('/bin/ls'), {magic => 'unknown magic'},
              "GetBuildInfo's magic knows Windows programs and archives only");
    is(SysVersionInfo('/bin/ls'), '', 'no version text');
};

my %expected_build = (
    pe64_exe => ['Rel. 7.6.00    Build 035', [7, 6, 0, 35], '7.6.00'],
    pe32_exe => ['QPM 3.0A    Build 123', [3, 0, 0, 123], '30123'],
    pe64_dll => ['QPM 4.10    Build 7', [4, 1, 0, 7], '41007'],
    pe32_dll => [undef, undef, '1.2.3'],
    unicode_exe => [undef, undef, '5.4.3'],
    languages_exe => ['Rel. 1.0.0    Build 100', [2, 0, 0, 200], '2.0.0'],
    plain_exe => [undef, undef, ''],
);

SKIP: {
    skip 'the MinGW-w64 cross compilers are not installed', 5 unless $programs;
    skip "Python's pefile is not installed", 5 unless $python;

    subtest 'Windows programs against pefile' => sub {
        my %machines = (0x14C => ' 32-bit i386', 0x8664 => ' 64-bit AMD64');
        for my $name (sort keys %$programs) {
            my $facts = pe_facts($python, $programs->{$name});
            my $bits = $facts->{characteristics};
            my $text = 'MS Windows' . $machines{ $facts->{machine} }
              . join('', map { $bits & $_->[0] ? " $_->[1]" : '' }
                         [2, 'executable'], [0x1000, 'system file'], [0x2000, 'dll']);
            is(GetMagicString($programs->{$name}), $text, "$name: $text");
            my $strings = $facts->{strings}{'040904e4'} || $facts->{strings}{'040904E4'};
            is($strings->{FileVersion}, $expected_build{$name}[2], "$name: pefile reads the same FileVersion")
              if $strings && $name ne 'languages_exe';
        }
        is(GetMagicString($programs->{pe64_dll}), 'MS Windows 64-bit AMD64 executable dll',
           'a 64-bit DLL');
        is(GetMagicString($programs->{pe32_exe}), 'MS Windows 32-bit i386 executable',
           'a 32-bit executable');
    };

    subtest 'GetBuildString, GetBuildInfo and SysVersionInfo of Windows programs' => sub {
        for my $name (sort keys %expected_build) {
            my ($line, $numbers, $version) = @{ $expected_build{$name} };
            my $path = $programs->{$name};
            is(GetBuildString($path), $line, "$name: build string");
            my $info = GetBuildInfo($path);
            is($info->{magic}, GetMagicString($path), "$name: magic as GetMagicString gives it");
            is_deeply($info->{Build}, $numbers, "$name: Build");
            is(SysVersionInfo($path), $version, "$name: version text");
        }
        # A string whose name begins with another's does not answer for it:
        # pe64_exe has BuildNumber 77 before Build 035.
        like(GetBuildString($programs->{pe64_exe}), qr/Build 035$/, 'Build is not BuildNumber');
        is_deeply([GetBuildInfo()], [], 'GetBuildInfo without argument: nothing');
        is_deeply([GetBuildInfo($programs->{pe64_exe}, 1)], [], 'with two: nothing');
        is(GetBuildString(), undef, 'GetBuildString without argument');
        is(SysVersionInfo("$tmp/missing"), '', 'SysVersionInfo of a missing file');
        is_deeply(GetBuildInfo("$tmp/missing"), {magic => 'unknown magic'},
                  'GetBuildInfo of a missing file');
    };

    subtest 'GetBuildInfo from an extraction object is that of the extracted file' => sub {
        my $dir = "$tmp/members";
        mkdir $dir;
        for my $name (sort keys %$programs) {
            write_file("$dir/$name", read_file($programs->{$name}));
        }
        write_file("$dir/ls", read_file('/bin/ls'));
        write_file("$dir/tiny", 'MZ');
        my $archive = gnu_tar($dir, "$tmp/members.tgz", ['-z'], sort(keys %$programs), 'ls', 'tiny');
        my $u = KALDOR::Install::Untgz::new();
        is($u->Open($archive), 0, 'the archive opens');
        my $count = 0;
        while (defined $u->Next()) {
            my $name = ($u->GetHeader())[3];
            is_deeply(GetBuildInfo($u), GetBuildInfo("$dir/$name"), "$name: the same hash");
            $count++;
        }
        is($count, keys(%$programs) + 2, 'every entry, and the walk stays aligned on the headers');
        is($u->Rewind(), 0, 'rewound');
        while (defined $u->Next()) {
            my $name = ($u->GetHeader())[3];
            is(SysVersionInfo($u), SysVersionInfo("$dir/$name"), "$name: the same version text");
        }
        $u->Rewind();
        $u->Next();    # languages_exe comes first
        is($u->ExtractMagic(), GetMagicString("$dir/languages_exe"), "Untgz's ExtractMagic");
    };

    subtest 'paths: slashes become backslashes in the caller\'s string' => sub {
        my $path = $programs->{pe64_exe};
        (my $backslashed = $path) =~ tr{/}{\\};
        for my $name (sort keys %native) {
            my $copy = $path;
            my $result = $native{$name}->($copy);
            is($copy, $backslashed, "$name changes the caller's string");
            is_deeply($native{$name}->(my $again = $backslashed), $result,
                      "$name: the backslashed path is the same file");
        }
        ok(defined $native{GetMagicString}->('' . $path), 'a value that is no variable is read all the same');
        is(GetMagicString("C:$path"), GetMagicString($path), 'a C: path');
        is(GetMagicString($_), undef, 'undef for ' . (defined $_ ? "'$_'" : 'undef'))
          for undef, 12345, "$tmp/missing", $tmp, '';
        is(GetMagicString(), undef, 'undef without argument');
        is(GetMagicString($path, 1), undef, 'undef with two arguments');
    };

    subtest 'hostile and broken program files' => sub {
        my $original = read_file($programs->{pe64_exe});
        my $facts = pe_facts($python, $programs->{pe64_exe});
        my ($entry, $data, $size) = @{ $facts->{data_entries}[0] };
        my $string = index($original, join("\0", split //, 'FileVersion'), $data) - 6;
        my %broken = (
            'a resource directory that points back at the root' =>
              [[$facts->{type_entry} + 4, pack('V', 0x80000000)]],
            'a version data size past the end' => [[$entry + 4, pack('V', 0x7FFFFFF0)]],
            'a version data address far past the end' => [[$entry, pack('V', 0x7FFF0000)]],
            '65,535 sections' => [[$facts->{sections_field}, pack('v', 0xFFFF)]],
            'a version root longer than its block' => [[$data, pack('v', $size + 64)]],
            'a version root shorter than its block' => [[$data, pack('v', 40)]],
            'a string longer than its table' => [[$string, pack('v', 0xFFF0)]],
            'a string of length 0' => [[$string, pack('v', 0)]],
        );
        for my $what (sort keys %broken) {
            my $bytes = $original;
            substr($bytes, $_->[0], length $_->[1]) = $_->[1] for @{ $broken{$what} };
            my $path = file_of($bytes);
            like(GetMagicString($path), qr/^MS Windows 64-bit AMD64/, "$what: still a Windows program");
            is(GetBuildString($path), undef, "$what: no build string");
            ok(!exists GetBuildInfo($path)->{Build}, "$what: no Build");
        }
        for my $length (0, 1, 2, 0x3E, 0x90, 0x97, 0x98, 1024, length($original) / 2,
                        $data + 20) {
            my $path = file_of(substr($original, 0, $length));
            ok(defined GetMagicString($path), "cut at $length: a magic text");
            is(GetBuildString($path), undef, "cut at $length: no build string");
            my $info = GetBuildInfo($path);
            ok(!exists $info->{Build}, "cut at $length: no Build");
            is(SysVersionInfo($path), '', "cut at $length: no version text");
        }
        is(GetBuildInfo(file_of(substr($original, 0, 0x97)))->{magic}, 'MS DOS',
           'an MZ file that ends before its file header is MS DOS');
        is(GetBuildInfo(file_of(substr($original, 0, 0x98)))->{magic},
           'MS Windows 64-bit AMD64 executable', 'and a Windows program with it');
        is(GetBuildInfo(file_of('MZ' . "\0" x 58 . pack('v', 0x40) . "\0" x 600))->{magic},
           'unknown magic',
           'an MZ file with something else at its header offset');
    };
}

subtest 'Java archives and the Jar subs' => sub {
    my $dir = "$tmp/jar";
    write_file("$dir/META-INF/MANIFEST.MF", "Manifest-Version: 1.0\n");
    system("cd '$dir' && zip -q -r '$tmp/app.jar' META-INF") == 0 or die "zip failed\n";
    my $jar = "$tmp/app.jar";
    is(GetMagicString($jar), 'JAR or ZIP archive', 'a jar made with zip');
    SKIP: {
        skip 'the Jar module is registered', 2 if defined &KALDOR::Install::Jar::bootstrap;
        is(GetBuildString($jar), undef, 'no Jar module: no build string');
        is_deeply(GetBuildInfo($jar), {magic => 'JAR or ZIP archive'}, 'no Jar module: no Build');
    }
    my @paths;
    no warnings 'redefine';
    local *KALDOR::Install::Jar::JarBuildString = sub { push @paths, $_[0]; return 'Rel. 2.1.0    Build 7' };
    local *KALDOR::Install::Jar::JarBuildInfo = sub { push @paths, $_[0]; return ('Build', [2, 1, 0, 7, 99]) };
    (my $backslashed = $jar) =~ tr{/}{\\};
    is(GetBuildString($jar), 'Rel. 2.1.0    Build 7', "JarBuildString's line");
    is_deeply(GetBuildInfo($jar), {magic => 'JAR or ZIP archive', Build => [2, 1, 0, 7]},
              "JarBuildInfo's first four numbers");
    is_deeply(\@paths, [$backslashed, $backslashed], 'the Jar subs get the backslashed path');
    if ($programs) {
        @paths = ();
        GetBuildString($programs->{pe64_exe});
        is_deeply(\@paths, [], 'a program with a build string does not ask the Jar subs');
        is(GetBuildString($programs->{pe32_dll}), 'Rel. 2.1.0    Build 7',
           'the Jar route also answers for a program without a build line');
    }
    local *KALDOR::Install::Jar::JarBuildString = sub { return 'x' x 2000 };
    is(length GetBuildString($jar), 1023, 'a build line is at most 1023 characters');
    local *KALDOR::Install::Jar::JarBuildString = sub { return '' };
    is(GetBuildString($jar), undef, 'an empty line is no line');
    local *KALDOR::Install::Jar::JarBuildString = sub { die "broken\n" };
    local *KALDOR::Install::Jar::JarBuildInfo = sub { return ('Build') };
    $@ = 'before';
    is(GetBuildString($jar), undef, 'a Jar sub that dies gives undef');
    is($@, 'before', "and the caller's \$@ is left alone");
    is_deeply(GetBuildInfo($jar), {magic => 'JAR or ZIP archive'}, 'a malformed JarBuildInfo: no Build');

    my $archive = "$tmp/jar.tgz";
    system('tar', '-C', $tmp, '-czf', $archive, 'app.jar') == 0 or die "tar failed\n";
    my $u = KALDOR::Install::Untgz::new();
    $u->Open($archive);
    $u->Next();
    is_deeply($u->ExtractBuildInfo(), {magic => 'JAR or ZIP archive', Build => [0, 0, 0, 0]},
              'a jar entry of an archive: Build all zeros');
};

subtest 'the version records cannot be forged' => sub {
    is(KALDOR::Install::System::Win32::VersionInfo::GetVersionInfo(12345678), -1,
       'GetVersionInfo of an address that names no record');
    is(KALDOR::Install::System::Win32::VersionInfo::QueryVersionValue(0), -1, 'QueryVersionValue of 0');
    is(KALDOR::Install::System::Win32::VersionInfo::GetVersionInfo(), undef, 'without argument');
};

subtest 'CompareMagic and the platforms of magic texts' => sub {
    package KALDOR::Install::FileMagic;
    use Test::More;
    my $i386 = 'elf 32-bit lsb i386 executable';
    my $x86 = 'elf 64-bit lsb X86-64 executable';
    is_deeply([CompareMagic('a text no pattern knows', 'a text no pattern knows')], [0, undef],
              'identical texts');
    is_deeply([CompareMagic(undef, $i386)], [-1, 'invalid magic'], 'an undefined magic');
    is_deeply([CompareMagic('cannot get magic', $i386)], [-1, 'invalid magic'], 'cannot get magic');
    is_deeply([CompareMagic($i386, 'unknown magic')], [-1, 'invalid magic'], 'unknown magic');
    is_deeply([CompareMagic($i386, $x86)], [-1, 'unknown magic'], 'X86-64 has no platform');
    is_deeply([CompareMagic($i386, 'elf 32-bit msb SPARC executable')], [-1, 'different platforms'],
              'elf-i386 against elf-sun');
    is_deeply([CompareMagic($i386, 'elf 32-bit lsb i486 shared object')], [0, undef],
              'same platform and bits');
    my $aix4 = 'AIX 4 64-bit executable or object module';
    my $aix5 = 'AIX 5 64-bit executable or object module';
    my $rs6000 = 'RS6000 32-bit executable or object module';
    is_deeply([CompareMagic($aix4, $aix5)], [0, undef], 'aix4 against aix5, both 64-bit');
    is_deeply([CompareMagic($aix5, $aix4)], [-1, 'different platforms'], 'aix5 against aix4');
    is_deeply([CompareMagic($rs6000, $aix4)], [-1, 'invalid object mode'], '32 against 64 bits');
    is_deeply([CompareMagic($rs6000, $aix4, AllowMagic32To64())], [0, undef], 'with flag 1');
    is_deeply([CompareMagic($aix4, $rs6000, AllowMagic32To64())], [-1, 'invalid object mode'],
              '64 against 32 bits with flag 1');
    is_deeply([CompareMagic($aix4, $rs6000, AllowMagic64To32())], [0, undef], 'with flag 2');
    is_deeply([CompareMagic($rs6000, $aix5, 3)], [0, undef], 'both flags: 32 to aix5 64');
    is(scalar CompareMagic($aix5, $aix4), -1, 'scalar context: the code alone');
    is(scalar CompareMagic($aix4, $aix4), 0, 'scalar context: 0');
    is(AllowMagic32To64(), 1, 'AllowMagic32To64');
    is(AllowMagic64To32(), 2, 'AllowMagic64To32');
    is(IsValidMagic('MS Windows 32-bit i386'), 0, 'IsValidMagic');
    is(IsValidMagic(undef), -1, 'IsValidMagic(undef)');
    my @table = ([$i386, 'elf-i386', 32], ['elf 32-bit lsb i686 core', 'elf-i386', 32],
                 ['elf 64-bit lsb IA64 executable', 'elf-ia64', 64],
                 ['elf 32-bit msb SPARC shared object', 'elf-sun', 32],
                 ['elf 64-bit msb SPARC V9 executable', 'elf-sun', 64],
                 ['elf 32-bit msb MIPS R3000 big endian executable', 'elf-mips', 32],
                 ['elf 64-bit msb MIPS R3000 big endian executable', 'elf-mips', 64],
                 [$rs6000, 'aix4', 32], [$aix4, 'aix4', 64], [$aix5, 'aix5', 64],
                 ['elf HP-UX ABI 64-bit msb PA-RISC executable', 'hpux', 64],
                 ['HP-UX 32-bit PA-RISC 1.1 shared library', 'hpux', 32],
                 ['HP 9000 Series 500 normal executable', 'hpux', 32],
                 ['HP PA-RISC', 'hpux', 32],
                 ['coff ALPHA 64-bit ZMAGIC executable', 'true64', 64],
                 ['elf HP-UX 64-bit msb PA-RISC executable', undef, undef],
                 ['elf GNU/Linux 32-bit lsb i386 executable', undef, undef],
                 ['MS Windows 32-bit i386', undef, undef]);
    for my $row (@table) {
        is_deeply([GetPlatformFromMagic($row->[0])], [@$row[1, 2]], "platform of '$row->[0]'");
    }
};

LmxTest::finish();

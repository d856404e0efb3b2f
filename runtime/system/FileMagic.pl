# The Perl half of KALDOR::Install::BuildInfo, evaluated by the module's
# boot: the package KALDOR::Install::FileMagic, which tells from two magic
# texts (as GetMagicString gives them) whether a program of the one kind
# may stand in for a program of the other. A magic text names a platform
# and a word size through the patterns of @platforms; texts that no pattern
# knows compare equal only to themselves.
#
# The lines below report under their own line numbers as
# lmxrun/FileMagic.pl.

package KALDOR::Install::FileMagic;

sub AllowMagic32To64 { return 1 }
sub AllowMagic64To32 { return 2 }

sub IsValidMagic {
    my ($magic) = @_;
    return -1 if !defined $magic || $magic =~ /cannot get magic|unknown magic/;
    return 0;
}

# Pattern in the magic text, platform, bits; the first that matches counts.
my @platforms = (
    [qr/elf 32-bit lsb i\d86/,              'elf-i386', 32],
    [qr/elf 64-bit lsb IA64/,               'elf-ia64', 64],
    [qr/elf 32-bit msb SPARC/,              'elf-sun',  32],
    [qr/elf 64-bit msb SPARC/,              'elf-sun',  64],
    [qr/elf 32-bit msb MIPS/,               'elf-mips', 32],
    [qr/elf 64-bit msb MIPS/,               'elf-mips', 64],
    [qr/RS6000 32-bit/,                     'aix4',     32],
    [qr/AIX 4 64-bit/,                      'aix4',     64],
    [qr/AIX 5 64-bit/,                      'aix5',     64],
    [qr/elf HP-UX ABI 64-bit msb PA-RISC/,  'hpux',     64],
    [qr/HP-UX 32-bit/,                      'hpux',     32],
    [qr/HP 9000 Series/,                    'hpux',     32],
    [qr/HP PA-RISC/,                        'hpux',     32],
    [qr/coff ALPHA.*64-bit/,                'true64',   64],
);

sub GetPlatformFromMagic {
    my ($magic) = @_;
    if (defined $magic) {
        for my $p (@platforms) {
            return ($p->[1], $p->[2]) if $magic =~ $p->[0];
        }
    }
    return (undef, undef);
}

my $compare = sub {
    my ($magic0, $magic1, $flags) = @_;
    return (-1, 'invalid magic') if IsValidMagic($magic0) || IsValidMagic($magic1);
    return (0, undef) if $magic0 eq $magic1;
    my ($platform0, $bits0) = GetPlatformFromMagic($magic0);
    my ($platform1, $bits1) = GetPlatformFromMagic($magic1);
    return (-1, 'unknown magic') if !defined $platform0 || !defined $platform1;
    return (-1, 'different platforms')
      if $platform0 ne $platform1 && !($platform0 =~ /aix/ && $platform1 =~ /aix/);
    return (0, undef) if $platform0 eq $platform1 && $bits0 == $bits1;
    if ($bits0 == 64 && $bits1 == 64) {
        return (0, undef) if $platform0 eq 'aix4' && $platform1 eq 'aix5';
        return (-1, 'different platforms') if $platform0 eq 'aix5' && $platform1 eq 'aix4';
    }
    return (0, undef) if ($flags & AllowMagic32To64()) && $bits0 == 32 && $bits1 == 64;
    return (0, undef) if ($flags & AllowMagic64To32()) && $bits0 == 64 && $bits1 == 32;
    return (-1, 'invalid object mode');
};

# (0, undef) when a program of kind $magic1 may stand in for one of kind
# $magic0, else (-1, reason); in scalar context the code alone.
sub CompareMagic {
    my ($magic0, $magic1, $flags) = @_;
    my @result = $compare->($magic0, $magic1, defined $flags ? $flags : 0);
    return wantarray ? @result : $result[0];
}

1;

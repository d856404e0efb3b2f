# The Perl half of KALDOR::Install::SysInfo: IsRunnable, the per-system version
# comparisons, and the helpers that ask Unix systems for their versions and
# patches through KALDOR::Install::PipeExec. Reported as lmxrun/SysInfo.pl.
package KALDOR::Install::SysInfo;

# File tests and opens go through the layer's path translation (HostPath).
my $executable = sub { my $path = HostPath($_[0]); return defined $path && -x $path };
my $readable = sub { my $path = HostPath($_[0]); return defined $path && -r $path };

# 1 when the numbers of @$ours are at least those of @$theirs, compared
# from left to right.
my $at_least = sub {
    my ($ours, $theirs) = @_;
    for my $i (0 .. $#$ours) {
        return 1 if $ours->[$i] > $theirs->[$i];
        return 0 if $ours->[$i] < $theirs->[$i];
    }
    return 1;
};

sub IsRunnable {
    my ($our, $their, $magic) = @_;
    return 0 if !defined $our || !defined $magic;
    return 1 if $magic =~ /JAR/;
    my $system = $our->{'system'};
    my $arch = $our->{'architecture'};
    return 0 if !defined $system || !defined $arch;

    if ($system =~ /AIX|HPUX|Linux|Reliant|Solaris|Tru64|OS400/) {
        if ($system eq 'OS400') {
            return 0 unless $magic =~ /AIX\s/;
            return 1 if $our->{'version'} > 5;
            return 0 if $our->{'version'} < 5;
            return 1 if $our->{'subversion'} > 3;
            return 0 if $our->{'subversion'} < 3;
            return 0 if $magic =~ /AIX 4 64-bit/;
            return 1;
        }
        if (!defined $their) {
            return 1 if $magic =~ /unknown/;
            if ($system eq 'AIX') {
                return 0 unless $magic =~ /AIX\s/;
                return 0 if $our->{'version'} =~ /^4/ && $magic =~ /AIX\s*5/;
                return 0 if $magic =~ /AIX 4 64-bit/;
                return 1;
            }
            if ($system eq 'HPUX') {
                return 0 unless $magic =~ /(?:hpux|HP|HP-UX)\s/;
                return $magic =~ /PA-RISC|HP-UX 32-bit|9000/ ? 1 : 0 if $arch eq 'PA-RISC';
                return $magic =~ /ia64|ipf|itanium/i ? 1 : 0 if $arch eq 'IA64';
                return 1;
            }
            if ($system eq 'Linux') {
                return 0 if $magic !~ /^elf\s/ || $magic =~ /HP-UX|SPARC/;
                return $magic =~ /i\d86/ ? 1 : 0 if $arch eq 'I386';
                return $magic =~ /X86-64|i\d86/ ? 1 : 0 if $arch eq 'X86-64';
                return $magic =~ /IA64/ ? 1 : 0 if $arch eq 'IA64';
                return $magic =~ /PPC/ ? 1 : 0 if $arch eq 'PPC';
                return $magic =~ /S390/ ? 1 : 0 if $arch eq 'S390';
                return 1;
            }
            if ($system eq 'Solaris') {
                return 0 if $magic !~ /^elf\s/;
                return $magic =~ /SPARC/ ? 1 : 0 if $arch eq 'SPARC';
                return $magic =~ /X86-64/ ? 1 : 0 if $arch eq 'X86-64';
                return 1;
            }
            return $magic =~ /coff ALPHA/ ? 1 : 0 if $system eq 'Tru64';
            return 1;
        }
        return 1 if !defined $their->{'architecture'} || !defined $their->{'system'};
        $their->{'system'} = 'Tru64' if $their->{'system'} eq 'True64';
        return 0 if $their->{'system'} ne $system;
        return 0 if $their->{'architecture'} ne $arch
                    && !($their->{'architecture'} eq 'I386' && $arch eq 'X86-64');
        return is_runnable_aix($our, $their, $magic) if $system eq 'AIX';
        return is_runnable_hpux($our, $their) if $system eq 'HPUX';
        return is_runnable_linux($our, $their) if $system eq 'Linux';
        return is_runnable_reliant($our, $their) if $system eq 'Reliant';
        return is_runnable_solaris($our, $their) if $system eq 'Solaris';
        return is_runnable_tru64($our, $their) if $system eq 'Tru64';
        return 1;
    }
    if ($system =~ /Windows/) {
        return 0 unless $magic =~ /Windows/;
        return $magic =~ /i386/ ? 1 : 0 if $arch eq 'I386';
        return $magic =~ /IA64/ ? 1 : 0 if $arch eq 'IA64';
        return $magic =~ /AMD64|i386/ ? 1 : 0 if $arch eq 'AMD64';
        return 1;
    }
    return 1;
}

sub is_runnable_aix {
    my ($our, $their, $magic) = @_;
    return 0 unless $our->{'system'} eq 'AIX';
    my @ours = $our->{'version'} =~ /^(\d+)\.(\d+)\.(\d+)/;
    my @theirs = $their->{'version'} =~ /^(\d+)\.(\d+)\.(\d+)/;
    return 1 unless @ours && @theirs;
    if (defined $magic && $magic =~ /64-bit/) {
        return 0 if $ours[0] >= 5 && $theirs[0] <= 4;
        return 0 if $ours[0] <= 4 && $theirs[0] >= 5;
    }
    return $at_least->(\@ours, \@theirs);
}

# Our system must be $name; the first two dot-separated numbers anywhere in
# each version are compared.
my $two_numbers = sub {
    my ($our, $their, $name) = @_;
    return 0 unless $our->{'system'} eq $name;
    my @ours = $our->{'version'} =~ /(\d+)\.(\d+)/;
    my @theirs = $their->{'version'} =~ /(\d+)\.(\d+)/;
    return 1 unless @ours && @theirs;
    return $at_least->(\@ours, \@theirs);
};

sub is_runnable_hpux { my ($our, $their) = @_; return $two_numbers->($our, $their, 'HPUX') }

sub is_runnable_reliant { my ($our, $their) = @_; return $two_numbers->($our, $their, 'Reliant') }

sub is_runnable_linux {
    my ($our, $their) = @_;
    return 0 unless $our->{'system'} eq 'Linux';
    return 1 if !defined $our->{'c_runtime'} || !defined $their->{'c_runtime'}
                || $their->{'c_runtime'} eq '';
    my $numbers = sub {
        my ($runtime) = @_;
        my @n = $runtime =~ /GLIBC\s+(\d+)\.(\d+)\.(\d+)/;
        @n = $runtime =~ /GLIBC\s+(\d+)\.(\d+)/ unless @n;
        return @n;
    };
    my @ours = $numbers->($our->{'c_runtime'});
    my @theirs = $numbers->($their->{'c_runtime'});
    return 1 if @ours < 2 || @theirs < 2;
    return $at_least->(\@ours, \@theirs) if @ours == 3 && @theirs == 3;
    return $at_least->([@ours[0, 1]], [@theirs[0, 1]]);
}

sub is_runnable_solaris {
    my ($our, $their) = @_;
    return 0 unless $our->{'system'} eq 'Solaris';
    # The releases that a program for their version does not run on.
    my %too_old = ('2.6' => ['2.4', '2.5'],
                   '7'   => ['2.4', '2.5', '2.6'],
                   '8'   => ['2.4', '2.5', '2.6', '7'],
                   '9'   => ['2.4', '2.5', '2.6', '7', '8'],
                   '10'  => ['2.4', '2.5', '2.6', '7', '8', '9']);
    my $theirs = defined $their->{'version'} ? $their->{'version'} : '';
    my $ours = defined $our->{'version'} ? $our->{'version'} : '';
    return 1 unless exists $too_old{$theirs};
    for my $old (@{ $too_old{$theirs} }) {
        return 0 if index($ours, $old) == 0;
    }
    return 1;
}

sub is_runnable_tru64 {
    my ($our, $their) = @_;
    return 0 unless $our->{'system'} eq 'Tru64';
    my $numbers = sub {
        my ($version) = @_;
        $version = '' unless defined $version;
        return ($1, $2, ord($3) - ord('A') + 1) if $version =~ /(\d+)\.(\d+)([A-Z])/;
        my @n = $version =~ /(\d+)/g;
        return (defined $n[0] ? $n[0] : 0, defined $n[1] ? $n[1] : 0, 0);
    };
    return $at_least->([$numbers->($our->{'version'})], [$numbers->($their->{'version'})]);
}

sub initPipeExec {
    return if defined &KALDOR::Install::PipeExec::new;
    eval { bootstrap KALDOR::Install::PipeExec; };
    return if !$@ && defined &KALDOR::Install::PipeExec::new;
    eval { require KALDOR::Install::PipeExec; };
    return;
}

# Runs a command through PipeExec and returns its output lines (line ends
# removed), the first line first; the empty list when there is no object
# or no output.
my $command_lines = sub {
    my ($command) = @_;
    initPipeExec();
    my $pipe = eval { KALDOR::Install::PipeExec->new() } or return ();
    my @lines;
    if (defined $pipe->Open($command)) {
        while (defined(my $line = $pipe->Readline())) { push @lines, $line }
    }
    $pipe->Close();
    chomp @lines;
    return @lines;
};

sub get_aix_version {
    my ($first) = $command_lines->($executable->('/usr/bin/oslevel') ? '/usr/bin/oslevel' : 'oslevel');
    return $first;
}

sub get_tru64_version {
    my ($first) = $command_lines->($executable->('/usr/sbin/sizer') ? '/usr/sbin/sizer -v' : 'sizer -v');
    return undef unless defined $first && $first =~ /(\d+\.\d+\w*)\s+\(Rev/;
    return $1;
}

sub get_tru64_subversion {
    my $log = '/var/adm/patch/log/event.log';
    return undef unless $readable->($log);
    open(my $in, '<', HostPath($log)) or return undef;
    my $kit;
    while (my $line = <$in>) {
        $kit = $1 if $line =~ /^KITNAME><((?:DU|T64)\w+-\d+)>/;
    }
    close $in;
    return $kit;
}

sub get_solaris_cppruntime {
    my ($os_version, $arch_name) = @_;
    return () unless defined $os_version;
    my %patch32 = ('2.6' => '105591', '7' => '106327', '8' => '108434',
                   '9' => (defined $arch_name && $arch_name eq 'X86-64' ? '111713' : '111711'));
    my %patch64 = ('7' => '106300', '8' => '108435', '9' => '111712');
    my $p32 = $patch32{$os_version};
    return () unless defined $p32;
    my $p64 = $patch64{$os_version};
    my $command = $executable->('/usr/sbin/showrev') ? '/usr/sbin/showrev -p'
                : $executable->('/usr/bin/showrev')  ? '/usr/bin/showrev -p'
                :                                      'showrev -p';
    initPipeExec();
    return () unless eval { KALDOR::Install::PipeExec->new() };
    my (%highest);
    for my $line ($command_lines->($command)) {
        for my $patch (grep { defined } $p32, $p64) {
            next unless $line =~ /^Patch:\s+\Q$patch\E-(\d+)/;
            $highest{$patch} = $1 if !defined $highest{$patch} || $1 > $highest{$patch};
        }
    }
    return map { defined $highest{$_} ? "$_-$highest{$_}" : 'no patch installed' }
           grep { defined } $p32, $p64;
}

1;

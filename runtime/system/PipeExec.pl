# The Perl half of KALDOR::Install::PipeExec: the object class over the
# native session functions (newXS, OpenXS, ReadlineXS, ...) and the
# splitting of command lines. The module's boot evaluates it; the lines
# below report under their own numbers as lmxrun/PipeExec.pl. Readline, the
# hot path of reading a child's output, is native and behaves as the
# methods below do (see PipeExec.cpp).

package KALDOR::Install::PipeExec;

sub new {
    my $self = { 'sess' => 0, 'errtext' => undef };
    bless $self;
    $self->{'sess'} = newXS();
    return $self;
}

sub DESTROY {
    my ($self) = @_;
    return if !defined $self->{'sess'} || $self->{'sess'} == 0;
    DESTROY_XS($self->{'sess'});
    $self->{'sess'} = 0;
    delete $self->{'errtext'};
}

# Starts the command line through a native start (OpenXS or OpenPtyXS):
# 0, or undef with the session's error text.
sub start_with {
    my ($self, $start, $cmdline) = @_;
    if (!defined $start->($self->{'sess'}, $cmdline)) {
        $self->{'errtext'} = GetErrorXS($self->{'sess'});
        return undef;
    }
    return 0;
}

sub Open { my ($self, $cmdline) = @_; return start_with($self, \&OpenXS, $cmdline) }

sub OpenPty { my ($self, $cmdline) = @_; return start_with($self, \&OpenPtyXS, $cmdline) }

sub Timeout {
    my ($self, $sec) = @_;
    my $sess = $self->{'sess'};
    return undef if !defined $sess || $sess == 0;
    if (!defined TimeoutXS($sess, $sec)) {
        $self->{'errtext'} = GetErrorXS($sess);
        return undef;
    }
    return 0;
}

sub WasaTimeout {
    my ($self) = @_;
    my $sess = $self->{'sess'};
    return undef if !defined $sess || $sess == 0;
    return WasaTimeoutXS($sess);
}

sub Close {
    my ($self) = @_;
    my $sess = $self->{'sess'};
    return undef if !defined $sess;
    return 0 if $sess == 0;
    my $code = CloseXS($sess);
    $self->{'errtext'} = GetErrorXS($sess);
    return $code;
}

sub CloseStdin {
    my ($self) = @_;
    my $sess = $self->{'sess'};
    return undef if !defined $sess;
    return 0 if $sess == 0;
    my $result = CloseStdinXS($sess);
    $self->{'errtext'} = GetErrorXS($sess) if !defined $result;
    return $result;
}

sub Write {
    my ($self, $buffer) = @_;
    my $sess = $self->{'sess'};
    return undef if !defined $sess;
    return 0 if $sess == 0;
    my $count = WriteXS($sess, $buffer);
    $self->{'errtext'} = GetErrorXS($sess);
    return defined $self->{'errtext'} ? undef : $count;
}

sub SetCallback {
    my ($self, $callback) = @_;
    my $sess = $self->{'sess'};
    return undef if !defined $sess;
    return 0 if $sess == 0;
    return SetCallbackXS($sess, $callback);
}

sub GetError {
    my ($self) = @_;
    return $self->{'errtext'};
}

# Splits a command line into arguments appended to @argv: a double-quoted
# part is one argument as it stands; otherwise a run of non-white text is
# one, with each \" turned into ".
sub SplitArgv {
    my ($cmdline, @argv) = @_;
    return @argv if !defined $cmdline || $cmdline eq '';
    my $rest = $cmdline;
    while (1) {
        if ($rest =~ s/^\s*"([^"]*)"//) {
            push @argv, $1;
        } elsif ($rest =~ s/^\s*(\S+?)(?=\s)// || $rest =~ s/^\s*(\S.*)\z//s) {
            (my $argument = $1) =~ s/\\"/"/g;
            push @argv, $argument;
        } else {
            last;
        }
    }
    return @argv;
}

# ('', program path, arguments) for a command that can be run directly, or
# one error text.
sub PrepareArgv {
    my ($cmd) = @_;
    my ($program, @args) = SplitArgv($cmd);
    $program = '' if !defined $program;
    if ($program =~ m{/}) {
        return ('', $program, @args) if -f $program && -x _;
        my $error = "$!";    # why the file could not be examined
        # An existing file that cannot be run fails as exec would: EACCES (13).
        $error = do { local $! = 13; "$!" } if -e _;
        return "$program: $error";
    }
    for my $dir (split /:/, defined $ENV{'PATH'} ? $ENV{'PATH'} : '') {
        my $path = "$dir/$program";
        return ('', $path, @args) if -f $path && -x _;
    }
    return "$program: No such command";
}

1;

# The Perl half of KALDOR::Install::PipeExec: the object class over the
# native session functions (newXS, OpenXS, ReadlineXS, ...), which always
# get $self->{'sess'} itself (never a copy: the session is found through
# that value), and the splitting of command lines. Readline is native.
# Timeout and WasaTimeout are kept for compatibility: the timeout is stored
# and nothing times out, so WasaTimeout reports 0.

package KALDOR::Install::PipeExec;

sub new {
    my $self = { 'sess' => 0, 'errtext' => undef };
    bless $self;
    newXS($self->{'sess'});
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
    return undef if !defined $self->{'sess'} || $self->{'sess'} == 0;
    if (!defined TimeoutXS($self->{'sess'}, $sec)) {
        $self->{'errtext'} = GetErrorXS($self->{'sess'});
        return undef;
    }
    return 0;
}

sub WasaTimeout {
    my ($self) = @_;
    return undef if !defined $self->{'sess'} || $self->{'sess'} == 0;
    return WasaTimeoutXS($self->{'sess'});
}

sub Close {
    my ($self) = @_;
    return undef if !defined $self->{'sess'};
    return 0 if $self->{'sess'} == 0;
    my $code = CloseXS($self->{'sess'});
    $self->{'errtext'} = GetErrorXS($self->{'sess'});
    return $code;
}

sub CloseStdin {
    my ($self) = @_;
    return undef if !defined $self->{'sess'};
    return 0 if $self->{'sess'} == 0;
    my $result = CloseStdinXS($self->{'sess'});
    $self->{'errtext'} = GetErrorXS($self->{'sess'}) if !defined $result;
    return $result;
}

sub Write {
    my ($self, $buffer) = @_;
    return undef if !defined $self->{'sess'};
    return 0 if $self->{'sess'} == 0;
    my $count = WriteXS($self->{'sess'}, $buffer);
    $self->{'errtext'} = GetErrorXS($self->{'sess'});
    return defined $self->{'errtext'} ? undef : $count;
}

sub SetCallback {
    my ($self, $callback) = @_;
    return undef if !defined $self->{'sess'};
    return 0 if $self->{'sess'} == 0;
    return SetCallbackXS($self->{'sess'}, $callback);
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
    my $path = SearchPathXS($program);    # the layer's search of PATH
    return ('', $path, @args) if defined $path;
    return "$program: No such command";
}

1;

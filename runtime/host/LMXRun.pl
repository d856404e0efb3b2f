# The bootstrap script, evaluated by lmxrun_main before any other Perl code:
# it installs the archive module loader as the global require and do, and
# defines KALDOR::Install::Start, whose Start takes the runtime options and
# runs a script or the installer's main sub. The lines below report under
# their own line numbers as LMXRun.pl. No pragma is used at file level:
# scripts are compiled in this file's scope and must get none of ours.
sub KALDOR::Install::Start::evaluate_script { eval $_[0] }

BEGIN {
    bootstrap LMX::Common;
    LMX::Common::Archive->import;
    LMX::Common::Require->import;
    *CORE::GLOBAL::require = \&LMX::Common::Require::require;
    *CORE::GLOBAL::do = \&LMX::Common::Require::do;
}

package LMX::Common;

sub AUTOLOAD {
    our $AUTOLOAD;
    if ($AUTOLOAD =~ /bootstrap$/) {
        require XSLoader;
        return XSLoader::load(__PACKAGE__);
    }
    die "cannot load symbol $AUTOLOAD\n";
}

package KALDOR::Install::Start;

our $DEBUG;

my $error_caption = 'Norvik Tessel Installer Runtime Error';

sub is_windows { return $^O =~ /mswin/i }

# The console launchers start without a console of their own wherever the
# console module is registered, and decide here whether to open one.
sub has_console_module {
    return is_windows() || defined &KALDOR::Install::System::Win32::Console::bootstrap;
}

sub is_absolute_dir {
    my ($dir) = @_;
    return $dir =~ m{^/} || $dir =~ /^[A-Za-z]:/;
}

# The runtime directory made absolute against the caller's directory, with
# "." and ".." elements resolved.
sub normalise_runtime_dir {
    my ($dir, $caller_dir) = @_;
    $dir = '' unless defined $dir;
    $dir =~ s{\\}{/}g;
    if ($dir eq '.') {
        $dir = $caller_dir;
    } elsif ($dir =~ m{^\./(\S*)}) {
        $dir = "$caller_dir/$1";
    } elsif (!is_absolute_dir($dir)) {
        $dir = "$caller_dir/$dir";
    }
    $dir =~ s{\\}{/}g;
    my @kept;
    for my $element (split m{/}, $dir) {
        next if $element eq '.';
        if ($element eq '..' && @kept && $kept[-1]) {
            pop @kept;
            next;
        }
        push @kept, $element;
    }
    return join(is_windows() ? '\\' : '/', @kept);
}

# True for an error that only asks for a silent exit: a plain text of
# nothing but white space that ends with a line break.
sub is_silent_exit {
    my ($error) = @_;
    return !ref $error && $error !~ /\S/ && $error =~ /\n\z/;
}

# Loads a module, reporting success instead of dying: the error path must
# not fail itself.
sub try_require {
    my ($module) = @_;
    return eval "require $module; 1";
}

# The runtime options are taken from @ARGV; what is left of it is passed
# on to the script or the main sub.
sub Start {
    local @ARGV = @_;
    s/^\x96/-/ for @ARGV;
    my $config = \%KALDOR::Install::Config;
    $config->{RuntimeDir} = normalise_runtime_dir($config->{RuntimeDir}, $config->{CallerDir});
    my $runtime_dir = $config->{RuntimeDir};
    @INC = ($runtime_dir);

    require Getopt::Long;
    Getopt::Long::Configure('pass_through', 'noauto_abbrev');
    my %option;

    Getopt::Long::GetOptions(
        'debug:s'           => \$option{debug},
        'splash_fast'       => \$option{splash_fast},
        'EXTRACTOR_WINID:s' => \$option{winid},
        'programname:s'     => \$option{programname},
        'TmpLDPath=s'       => \$option{tmpldpath},
    );
    $config->{TmpLDPath} = $option{tmpldpath} if defined $option{tmpldpath};
    FastSplash() if $option{splash_fast};
    if ($option{winid}) {
        bootstrap KALDOR::Install::System::Win32::API;
        KALDOR::Install::System::Win32::API::DestroyWindow(hex $option{winid});
    }
    if (defined $option{debug}) {
        my @other;
        for my $word (split ' ', $option{debug}) {
            if ($word =~ /Start|Exporter|Repository/) {
                ${"KALDOR::Install::${word}::DEBUG"} = 1;
            } else {
                push @other, $word;
            }
        }
        push @ARGV, '--debug', join(' ', @other) if @other;
    }

    Getopt::Long::GetOptions('installed_lmxrun_used+' => \$option{installed});
    $config->{UsedLMXRUN} = $option{installed} ? 'installed' : 'kit';

    Getopt::Long::GetOptions('script=s' => \$option{script});

    Getopt::Long::GetOptions(
        'archive=s' => \$option{archive},
        'inc=s'     => \$option{inc},
        'main=s'    => \$option{main},
        'silent'    => \$option{silent},
        'upuser=s'  => \$option{upuser},
    );
    $config->{UPUser} = $option{upuser} if defined $option{upuser};
    my $main = defined $option{main} ? $option{main} : 'KALDOR::Install::main';
    my $program = defined $option{programname} ? $option{programname} : 'LMXRUN';
    my $list_separator = is_windows() ? ';' : ':';
    my @inc = defined $option{inc} ? split(/\Q$list_separator\E/, $option{inc}) : ();
    $config->{ProgramName} = $program;

    if (defined $option{script}) {
        my $script = $option{script};
        $script = "$config->{CallerDir}/$script" unless $script =~ m{^/} || $script =~ /^\w:/;
        local @INC = (@inc, @INC);
        my $result = StartScript($script);
        return defined $result ? $result : -1;
    }

    if (has_console_module() && $program =~ /ryninst|rynuninst/i) {
        bootstrap KALDOR::Install::System::Win32::Console;
        if ($option{silent} || KALDOR::Install::System::Win32::Console::HasRedirectedStdHandles()) {
            $config->{SilentMode} = 1;
        } elsif (KALDOR::Install::System::Win32::Console::OpenConsole()) {
            $config->{HasOwnConsole} = 1;
        }
    }

    @inc = ('LMXINST.TGZ') unless @inc;
    for (@inc) {
        s{\\}{/}g;
        $_ = "$runtime_dir/$_" unless m{^/} || m{^\w:/};
    }
    $config->{RuntimeDir} =~ s{/}{\\}g if is_windows();
    return StartRequireInc($main, @inc, $runtime_dir);
}

sub FastSplash {
    my $config = \%KALDOR::Install::Config;
    my $archive = "$config->{RuntimeDir}/WXPERL.TGZ";
    my $resources = "$config->{RuntimeDir}/RESOURCES.TGZ";
    return 0 unless -f $archive && -f $resources;
    push @INC, $archive;
    push @INC, $config->{TmpLDPath} if defined $config->{TmpLDPath};
    push @INC, $config->{RuntimeDir};
    my $loaded = eval { require LMX::Wx::Splash };
    die "cannot load wxWidgets properly: $@" if $@;
    die "cannot load wxWidgets properly: module returned false\n" unless defined $loaded;
    eval { LMX::Wx::Splash->new($resources, 'splash/InstallationManager.png', 0) };
    die "cannot show splash screen: $@" if $@;
    $config->{NO_SPLASH} = 1;
    return 1;
}

sub perlruntime_err {
    my ($text) = @_;
    if (defined $LMX::Wx::Splash::Window) {
        $LMX::Wx::Splash::Window->Show(0);
        $LMX::Wx::Splash::Window->Destroy();
        $LMX::Wx::Splash::Window = undef;
    }
    my $config = \%KALDOR::Install::Config;
    my $program = defined $config->{ProgramName} ? $config->{ProgramName} : '';
    if (has_console_module() && $program =~ /rynsetup|ryninst|rynuninst|rynlaunch/i) {
        if ($config->{HasOwnConsole} || $config->{BatchMode}) {
            print STDERR "$text\n";
            if (!$config->{BatchMode} && try_require('Term::ReadKey')) {
                print "\npress any key...";
                Term::ReadKey::ReadMode('raw');
                Term::ReadKey::ReadKey(0);
            }
            return;
        }
        # The console module's Perl file comes with the installer's
        # packages; the module itself is registered, so boot it directly
        # when that file is not on the search list.
        if (try_require('KALDOR::Install::System::Win32::Console')
            || eval { KALDOR::Install::System::Win32::Console->bootstrap; 1 }) {
            KALDOR::Install::System::Win32::Console::SetErrorWithoutConsole($text, $error_caption);
            return;
        }
    }
    print STDERR "$error_caption:\n", $text;
}

sub StartScript {
    my ($file) = @_;
    return undef unless defined $file;
    $file =~ s{/}{\\}g if is_windows();
    my $readable = -r $file;
    my $reason = "$!";
    unless ($readable && -f _) {
        $reason = -d _ ? 'Is a directory' : 'Not a plain file' if $readable;
        print "cannot read $file\n$reason\n";
        return undef;
    }
    open(my $in, '<', $file) or do {
        print "cannot read $file\n$!\n";
        return undef;
    };
    my $text = "# line 1 \"$file\"\n";
    while (defined(my $line = <$in>)) {
        $line =~ s/\r?\n\z//;
        $text .= "$line\n";
    }
    close $in;

    my $value;
    my $ok = eval {
        $value = evaluate_script($text);
        die $@ if ref $@ || $@ ne '';
        1;
    };
    return $value if $ok;
    my $error = $@;
    return 0 if is_silent_exit($error);
    perlruntime_err("perl runtime error:\n$error");
    return -1;
}

sub StartRequireInc {
    my ($sub, @include) = @_;
    my ($package) = $sub =~ /^([\w:]+)::\w+$/;
    unless (defined $package) {
        print STDERR "Cannot get start package name (main = $sub)\n";
        return -1;
    }
    local @INC = @include;
    unless (eval "require $package; 1") {
        perlruntime_err("perl compilation error (loading $package):\n$@");
        return -1;
    }
    unless (defined &{$sub}) {
        print "cannot find main sub $sub\n";
        return -1;
    }
    my $result;
    unless (eval { $result = &{$sub}(@ARGV); 1 }) {
        my $error = $@;
        if (is_silent_exit($error)) {
            $result = 0;
        } else {
            perlruntime_err("perl runtime error (calling symbol \"$sub\"):\n$error");
            $result = -1;
        }
    }
    my $tmp = $KALDOR::Install::Config{TmpLDPath};
    if (defined $tmp && -d $tmp) {
        opendir(my $dir, $tmp) or return $result;
        for my $entry (readdir $dir) {
            unlink "$tmp/$entry" unless $entry eq '.' || $entry eq '..';
        }
        closedir $dir;
        rmdir $tmp;
    }
    return $result;
}

1;

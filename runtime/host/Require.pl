# The module loader: require, use and file do through the module cache,
# reading modules out of the tar.gz archives and directories of @INC.
# Evaluated by the boot of LMX::Common; the lines below report under their
# own line numbers as lmxrun/Require.pl. No pragma is used here: module texts
# are compiled in this file's scope and must get no pragma of ours.

package LMX::Common::Require;

# Compiles and runs a module text with nothing of the loader in scope but @_.
sub evaluate_text { eval $_[0] }

# Module file name => { txt => source, archive => path, loaded => 0 or 1 }
our $modules = {};

# Gives $package a DATA handle that reads $data: an anonymous temporary
# file, which needs no extension module.
sub open_data {
    my ($package, $data) = @_;
    my $handle = \*{"${package}::DATA"};
    open($handle, '+>', undef) or return;
    binmode $handle;
    print {$handle} $data;
    seek($handle, 0, 0);
}

# Splits a module text at its __DATA__ line. A text evaluated from a string
# loses that section; the returned code opens it as the DATA handle of the
# package in effect there, as a module read from a file would have it.
sub with_data_handle {
    my ($txt) = @_;
    return $txt unless $txt =~ /^__DATA__[ \t]*\r?$/m;
    my ($code, $data) = ($`, substr($', 1));
    $data = '' unless defined $data;
    return $code
      . "BEGIN { LMX::Common::Require::open_data(__PACKAGE__, \$LMX::Common::Require::data) }\n",
      $data;
}

our $data;

sub read_archive {
    my ($location) = @_;
    my $archive = LMX::Common::Archive::new($location);
    return 0 unless defined $archive;
    while (defined(my $name = $archive->read)) {
        my $member = $archive->open($name);
        my $entry = ($modules->{$name} ||= {});
        $entry->{txt} = defined $member ? $member->read : undef;
        $entry->{archive} = $location;
    }
    return 1;
}

sub read_directory_file {
    my ($location, $module) = @_;
    my $file = "$location/$module";
    return 0 unless -r $file && -f _;
    open(my $in, '<', $file) or return 0;
    local $/;
    my $txt = <$in>;
    close $in;
    $modules->{$module}{txt} = defined $txt ? $txt : '';
    return 1;
}

sub requireex {
    my ($location, $module) = @_;
    my $entry = $modules->{$module};
    return 1 if $entry && exists $entry->{loaded};
    if ($^O !~ /mswin/i && $LMX::Wx::Splash::Window) {
        Wx::Yield();
    }
    unless ($entry && exists $entry->{txt}) {
        if (-f $location) {
            return undef unless read_archive($location);
        } else {
            return undef unless read_directory_file($location, $module);
        }
        $entry = $modules->{$module};
    }
    return undef unless $entry && defined $entry->{txt};

    $entry->{loaded} = 1;
    my ($code, $section) = with_data_handle($entry->{txt});
    my ($value, $error);
    {
        local $SIG{__WARN__} = sub { };
        local $data = $section;
        $value = evaluate_text("# line 1 \"$module\"\n" . $code);
        $error = $@;
    }
    if (ref $error || $error ne '') {
        delete $entry->{loaded};
        die $error;
    }
    unless ($value) {
        delete $entry->{loaded};
        die "require: $module does not return a true value\n";
    }
    $INC{$module} = exists $entry->{archive} ? $entry->{archive} : "$location/$module";
    delete $entry->{archive};
    $entry->{loaded} = 0;
    $entry->{txt} = undef;
    return $value;
}

# Dies for a module that no location holds, naming the frame above the
# statement that asked for it (the statement itself at the outermost level).
sub not_found {
    my ($module) = @_;
    my (undef, $file, $line) = caller(2);
    (undef, $file, $line) = caller(1) unless defined $file;
    die "Can't locate $module in \@INC (\@INC contains: " . join(', ', @INC)
      . ") at $file line $line.\n";
}

sub is_absolute {
    my ($name) = @_;
    return $name =~ m{^/} || $name =~ /^\\\\/ || $name =~ /^[A-Za-z]:\\/;
}

sub require {
    my ($name) = @_;
    # Most requires name a module file that is already loaded (use strict,
    # use warnings, ...); the first location would answer 1 for it.
    my $loaded = $modules->{$name};
    return 1 if $loaded && exists $loaded->{loaded} && @INC;
    # Perl version requirements (5.005, and v-strings such as v5.10).
    return 1 if $name =~ /^\d$/ || $name =~ /^\d[.,]\d+$/ || ref \$name eq 'VSTRING';
    (my $module = $name) =~ s{::|\\}{/}g;
    $module .= '.pm' unless $module =~ /\.p[ml]$/;
    unless (is_absolute($module)) {
        for my $location (@INC) {
            return 1 if requireex($location, $module);
        }
    }
    not_found($module);
}

sub do {
    my ($file) = @_;
    unless (is_absolute($file)) {
        for my $location (@INC) {
            my $value = requireex($location, $file);
            return $value if defined $value;
        }
    }
    return CORE::do($file) if is_absolute($file) && -f $file;
    not_found($file);
}

1;

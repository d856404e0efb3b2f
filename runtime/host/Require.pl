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

# The largest member text that the loader keeps from an archive (16 MiB);
# a larger member is passed over, and requiring it dies naming it.
our $member_limit = 16 * 1024 * 1024;

# Archive location => { member name => 1 } as its latest reading found it.
our $archive_members = {};

# The position of each location on the include list (the first one counts).
sub include_ranks {
    my %rank;
    for my $i (reverse 0 .. $#INC) { $rank{ $INC[$i] } = $i }
    return \%rank;
}

# Reads every member of the archive at $location into the cache, except
# where a location before it on the include list holds the same name. A
# damaged archive (cut short, failing its gzip check, a bad header) caches
# nothing and dies naming it.
sub read_archive {
    my ($location) = @_;
    my $archive = LMX::Common::Archive::new($location);
    return 0 unless defined $archive;
    my %found;
    while (defined(my $name = $archive->read)) {
        my $member = $archive->open($name) or next;
        my $txt = '';
        last unless defined $member->sysread($txt, $member_limit + 1);
        $found{$name} = length($txt) > $member_limit
          ? { error => "cannot load $name from $location: larger than $member_limit bytes\n" }
          : { txt => $txt };
    }
    my $fault = $archive->error;
    die "cannot read archive $location: $fault\n" if defined $fault;
    my $rank = include_ranks();
    my $own_rank = exists $rank->{$location} ? $rank->{$location} : @INC;
    for my $name (keys %found) {
        my $entry = $modules->{$name};
        next if $entry && exists $entry->{loaded};
        if ($entry && (defined $entry->{txt} || exists $entry->{error})) {
            my $from = $entry->{archive};
            next unless defined $from;    # a directory's text, kept as it is
            next if $from ne $location && exists $rank->{$from} && $rank->{$from} < $own_rank;
        }
        $modules->{$name} = { %{ $found{$name} }, archive => $location };
    }
    $archive_members->{$location} = { map { $_ => 1 } keys %found };
    return 1;
}

# Reads the file at $path whole into the cache entry of $module.
sub read_text_file {
    my ($path, $module) = @_;
    return 0 unless -r $path && -f _;
    open(my $in, '<', $path) or return 0;
    local $/;
    my $txt = <$in>;
    close $in;
    $modules->{$module} = { txt => defined $txt ? $txt : '' };
    return 1;
}

# True when the cache holds a text (or a refusal) of $module that belongs to
# $location: one read from it, or one of a directory.
sub held_at {
    my ($entry, $location) = @_;
    return 0 unless $entry && (defined $entry->{txt} || exists $entry->{error});
    return !exists $entry->{archive} || $entry->{archive} eq $location;
}

sub requireex {
    my ($location, $module) = @_;
    my $entry = $modules->{$module};
    return 1 if $entry && exists $entry->{loaded};
    if ($^O !~ /mswin/i && $LMX::Wx::Splash::Window) {
        Wx::Yield();
    }
    unless (held_at($entry, $location)) {
        if (-f $location) {
            # Cached from another location: an archive whose latest reading
            # did not hold the module is not read again for it.
            my $members = $archive_members->{$location};
            return undef if $entry && $members && !$members->{$module};
            return undef unless read_archive($location);
        } else {
            return undef unless read_text_file("$location/$module", $module);
        }
        $entry = $modules->{$module};
        return undef unless held_at($entry, $location);
    }
    return evaluate_module($module, $entry, "$location/$module");
}

# Evaluates a cached module text once; %INC names its archive, else $file.
sub evaluate_module {
    my ($module, $entry, $file) = @_;
    die $entry->{error} if exists $entry->{error};
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
    $INC{$module} = exists $entry->{archive} ? $entry->{archive} : $file;
    delete $entry->{archive};
    $entry->{loaded} = 0;
    $entry->{txt} = undef;
    return $value;
}

# A module named by its absolute path: loaded once from that file.
sub require_file {
    my ($path) = @_;
    my $entry = $modules->{$path};
    return 1 if $entry && exists $entry->{loaded};
    unless ($entry && defined $entry->{txt}) {
        read_text_file($path, $path) or return undef;
        $entry = $modules->{$path};
    }
    return evaluate_module($path, $entry, $path);
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
    if (is_absolute($module)) {
        return 1 if -f $module && require_file($module);
    } else {
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

# The Perl half of KALDOR::Install::Jar: manifest values, build strings, self-extracting archives.
# Files are tested and removed through the layer (_access, _unlink), which takes either separator.
package KALDOR::Install::Jar;

my $manifest_name = 'META-INF/MANIFEST.MF';

sub _succeeded { return defined $_[0] && $_[0] == 0 }

# Copies the manifest entry of $in (the current one) into $out, replacing
# the values of the given keys and appending those it lacks.
sub _copy_manifest {
    my ($in, $out, $entry, $pairs) = @_;
    return 0 unless _succeeded($in->Open()) && _succeeded($out->Open($entry));
    my @lines;
    while (defined(my $line = $in->ReadLine())) { push @lines, $line }
    # An empty text after the last line feed is no line of the manifest.
    pop @lines if @lines && $lines[-1] eq '';
    my $written = 1;
    for my $line (@lines) {
        # The key ends at the first ": ", so that values holding one (build
        # strings do) are found and replaced too.
        my ($key) = $line =~ /^(.+?):\s".+"$/;
        ($key) = $line =~ /^(.+?):\s.+$/ unless defined $key;
        $line = "$key: " . delete($pairs->{$key}) if defined $key && exists $pairs->{$key};
        $written &&= _succeeded($out->Print("$line\n"));
    }
    $written &&= _succeeded($out->Print("$_: $pairs->{$_}\n")) for keys %$pairs;
    my $closed_in = _succeeded($in->Close());
    return _succeeded($out->Close()) && $closed_in && $written;
}

# Sets values in the manifest of a Java archive: 0, or undef (the archive
# is then left as it was).
sub SetValueInManifest {
    my ($archive, %pairs) = @_;
    return undef unless defined $archive && _access($archive, 2);
    my $work = $archive . '.~wrk~';
    my $in = KALDOR::Install::Jar->new();
    my $out = KALDOR::Install::Jar->new();
    return undef unless _succeeded($in->OpenArchive($archive, 'r'));
    unless (_succeeded($out->OpenArchive($work, 'w'))) {
        $in->CloseArchive();
        return undef;
    }
    my $copied = 1;
    for (1 .. $in->{'num_of_files'}) {
        my $entry = $in->Next();
        if (!ref $entry) {
            $copied = 0;
        } elsif ($entry->{'filename'} ne $manifest_name) {
            $copied = defined $in->CopyTo($out);
        } else {
            $copied = _copy_manifest($in, $out, $entry, \%pairs);
        }
        last unless $copied;
    }
    my $closed_in = _succeeded($in->CloseArchive());
    my $closed_out = _succeeded($out->CloseArchive());
    my $result = $copied && $closed_in && $closed_out && _succeeded(RestoreZip($archive, $work))
      ? 0 : undef;
    _unlink($work);
    return $result;
}

# The build string of a Java archive's manifest, for example
# "JAR  7.6.00 Build: 012-121-123-456"; undef without one.
sub JarBuildString {
    my ($archive) = @_;
    return undef unless defined $archive && _access($archive, 4);
    my $jar = KALDOR::Install::Jar->new();
    return undef unless _succeeded($jar->OpenArchive($archive));
    my $version;
    if (_succeeded($jar->Open($manifest_name))) {
        while (defined(my $line = $jar->ReadLine())) {
            if ($line =~ /^Implementation-Version:\s"(.+)"$/
                || $line =~ /^Implementation-Version:\s(.+)$/) {
                $version = $1;
                last;
            }
        }
        $jar->Close();
    }
    $jar->CloseArchive();
    return undef unless defined $version;
    my ($release, $build);
    if ($version =~ /(\d\.\d\.\d+)\s+Build:\s+(\d[\d|-]*)/
        || $version =~ /(\d\.\d\.\d+)\s+Build\s+(\d[\d|-]*)/
        || $version =~ /(\d+\.\d+\.\d+)\.(\d+)\s+\(/) {
        ($release, $build) = ($1, $2);
    } else {
        return undef;
    }
    $build =~ s/-$//;
    return "JAR  $release Build: $build";
}

# ('Build', [major, minor, revision, build number]) of a Java archive.
sub JarBuildInfo {
    my ($archive) = @_;
    return undef unless defined $archive && _access($archive, 4);
    my $string = JarBuildString($archive);
    return undef unless defined $string;
    my @parts = $string =~ /^JAR\s+(\d+)\.(\d+)\.(\d+)\s+Build:\s+(\d+)/;
    return undef unless @parts == 4;
    $parts[3] += 0;
    return ('Build', \@parts);
}

# Opens a new self-extracting archive with the extractor program as its
# first entry: 1, with the archive still open for the caller's Add calls
# and CloseArchive; undef after saying why not.
sub CreateSelfExtractingArchive {
    my ($self, $archive, $extractor) = @_;
    if ($^O =~ /mswin/i) {
        s{/}{\\}g for $archive, $extractor;
    }
    unless (_succeeded($self->OpenArchive($archive, 'w'))) {
        print STDERR "cannot create pk zip archive $archive\n";
        return undef;
    }
    unless (_succeeded($self->SetExtractor($extractor))) {
        $self->CloseArchive();
        print STDERR "cannot set extractor $extractor\n";
        return undef;
    }
    my $entry = $extractor;    # Add turns the copy's slashes into backslashes
    unless (_succeeded($self->Add($entry))) {
        $self->CloseArchive();
        print STDERR "cannot add extractor $extractor\n";
        return undef;
    }
    return 1;
}

1;

package LMX::Install::Demo::Payload;

# The product's payload, a tar.gz in the kit: its test run (what it holds,
# whether every file can be written, the space it needs per filesystem),
# its extraction into the target, and the check of every installed file
# against the MD5 sums of its manifest.
use strict;
use warnings;
use LMX::Install::Demo::Failure qw(fail check FAILED);
use LMX::Install::Demo::Files qw(make_dirs);
use LMX::Install::Demo::Product;

bootstrap KALDOR::Install::Untgz;
bootstrap KALDOR::Install::FSUsage;
bootstrap KALDOR::Install::MD5Sum;

my %PRODUCT = %LMX::Install::Demo::Product::PRODUCT;

# The archive's error texts (most general first), or WHAT when it has none.
sub with_errors {
    my ($untgz, $what) = @_;
    my @errors = $untgz->GetErr();
    return @errors ? join(': ', @errors) : $what;
}

# The next entry as {name, type (file, dir, link or other), size}; undef at
# the end of the archive and when it cannot be read (GetErr says which).
sub next_entry {
    my ($untgz) = @_;
    while (1) {
        my ($mode, $size, $time, $name) = $untgz->Next();
        return undef unless defined $name;
        $name =~ s{^(?:\./)+}{};
        $name =~ s{/+\z}{};
        next if $name eq '' || $name eq '.';
        my $kind = $mode & 0170000;
        my $type = $kind == 0100000 ? 'file' : $kind == 040000 ? 'dir'
                 : scalar($untgz->GetHeader()) =~ /^l/ ? 'link' : 'other';
        return { name => $name, type => $type, size => $size };
    }
}

# Fails when the walk of the archive ended on an error.
sub end_of_walk {
    my ($untgz) = @_;
    fail(FAILED, with_errors($untgz, '')) if $untgz->GetErr();
}

# The manifest's text as {files => [[md5, name]], links => [[target, name]]}.
sub parse_manifest {
    my ($text) = @_;
    my (@files, @links);
    my $number = 0;
    for my $line (split /\n/, $text) {
        $number++;
        next if $line =~ /^#/ || $line eq '';
        if ($line =~ /^f\t([0-9a-f]{32})\t([^\t]+)$/) { push @files, [$1, $2] }
        elsif ($line =~ /^l\t([^\t]+)\t([^\t]+)$/) { push @links, [$1, $2] }
        else { fail(FAILED, "line $number of the payload's manifest is malformed") }
    }
    return { files => \@files, links => \@links };
}

# Notes in JOURNAL the directories that ENTRY needs and that do not exist
# yet (extraction makes them); KNOWN holds the directories looked at.
sub note_directories {
    my ($journal, $known, $target, $entry) = @_;
    my @parts = split m{/}, $entry->{name};
    pop @parts unless $entry->{type} eq 'dir';
    my $path = $target;
    for my $part (@parts) {
        $path .= "/$part";
        next if $known->{$path}++;
        $journal->add(dir => $path) unless -d $path;
    }
}

# The test run of the archive opened at PATH into TARGET: nothing is
# written but the directories (noted in JOURNAL). Returns the untgz object
# (for the extraction) and what the payload holds: {files => {name =>
# size}, dirs, bytes, manifest, usage => [FSUsage per filesystem]}. Fails
# when an entry cannot be written or would replace something in TARGET.
sub test_run {
    my ($path, $target, $journal) = @_;
    my $untgz = KALDOR::Install::Untgz::new();
    defined $untgz->Open($path, 1) or fail(FAILED, with_errors($untgz, "cannot open the payload"));
    $untgz->SetDestDir($target);
    my %payload = (files => {}, dirs => 0, bytes => 0);
    my (%known, @in_the_way, $manifest);
    while (my $entry = next_entry($untgz)) {
        check();
        my ($name, $type) = @$entry{qw(name type)};
        fail(FAILED, "the payload's entry $name is neither a file, a directory nor a link")
          if $type eq 'other';
        note_directories($journal, \%known, $target, $entry);
        my $there = "$target/$name";
        if ($type eq 'dir' ? (-e $there && !-d $there) : lstat $there) {
            push @in_the_way, $name;
            next;
        }
        if ($name eq $PRODUCT{manifest}) {
            defined $untgz->ExtractScalar($manifest) or fail(FAILED, 'cannot read the manifest');
        } elsif ($type ne 'link' && $untgz->ExtractFile() != 0) {
            fail(FAILED, 'test run: ' . with_errors($untgz, "cannot write $there"));
        }
        $payload{dirs}++ if $type eq 'dir';
        next unless $type eq 'file';
        $payload{files}{$name} = $entry->{size};
        $payload{bytes} += $entry->{size};
    }
    end_of_walk($untgz);
    if (@in_the_way) {
        my $shown = join(', ', @in_the_way[0 .. ($#in_the_way < 4 ? $#in_the_way : 4)]);
        $shown .= sprintf(' and %d more', @in_the_way - 5) if @in_the_way > 5;
        fail(FAILED, "$target already holds what the product would replace ($shown); "
                     . 'choose a new or empty directory');
    }
    fail(FAILED, "the payload has no manifest $PRODUCT{manifest}") unless defined $manifest;
    $payload{manifest} = parse_manifest($manifest);
    $payload{manifest_sum} = KALDOR::Install::MD5Sum::MD5Str($manifest, length $manifest);
    $payload{usage} = [$untgz->GetFSUsage()];
    check_manifest(\%payload);
    return ($untgz, \%payload);
}

# Every file of the payload has its sum in the manifest, and the manifest
# names no file that the payload lacks.
sub check_manifest {
    my ($payload) = @_;
    my %listed = map { $_->[1] => 1 } @{ $payload->{manifest}{files} };
    for my $name (sort keys %{ $payload->{files} }) {
        fail(FAILED, "the payload's file $name has no MD5 sum in the manifest")
          unless $listed{$name} || $name eq $PRODUCT{manifest};
    }
    for my $name (sort keys %listed) {
        fail(FAILED, "the manifest names $name, which the payload lacks")
          unless exists $payload->{files}{$name};
    }
}

# What files and directories take on the target's filesystem beyond the
# test run's sums, which count each file in whole kilobytes: whole blocks
# per file, and a block per directory.
sub block_allowance {
    my ($payload, $target) = @_;
    my $block = (stat $target)[11] || 4096;
    my $allowance = $block * $payload->{dirs};
    for my $size (values %{ $payload->{files} }) {
        $allowance += int(($size + $block - 1) / $block) * $block - int(($size + 1023) / 1024) * 1024;
    }
    return $allowance > 0 ? $allowance : 0;
}

# Per filesystem that the installation writes to: {name, needed, free} in
# bytes. EXTRA bytes (the runtime's copy) and the block allowance go to the
# target's filesystem.
sub space {
    my ($payload, $target, $extra) = @_;
    my $target_fs = KALDOR::Install::FSUsage::GetFSName($target);
    $extra += block_allowance($payload, $target);
    my (@rows, $placed);
    for my $fs (@{ $payload->{usage} }) {
        my $needed = ($fs->{NEEDED} - $fs->{USED}) * 1024;
        if (defined $target_fs && $fs->{FSNAME} eq $target_fs) {
            $needed += $extra;
            $placed = 1;
        }
        push @rows, { name => $fs->{FSNAME}, needed => $needed };
    }
    push @rows, { name => $target_fs, needed => $extra } unless $placed;
    for my $row (@rows) {
        my (undef, $available) = KALDOR::Install::FSUsage::GetFSSize($row->{name});
        $row->{free} = defined $available ? $available * 1024 : undef;
    }
    return @rows;
}

# Extracts the payload into TARGET after its test run, noting every file in
# JOURNAL before it is written; makes the links; PROGRESS counts the bytes.
sub extract {
    my ($untgz, $payload, $target, $journal, $progress) = @_;
    $untgz->Rewind() == 0 or fail(FAILED, with_errors($untgz, 'cannot rewind the payload'));
    $untgz->SetReadOnly(0);
    my %sum = map { $_->[1] => $_->[0] } @{ $payload->{manifest}{files} };
    $sum{ $PRODUCT{manifest} } = $payload->{manifest_sum};
    my $done = 0;
    while (my $entry = next_entry($untgz)) {
        check();
        my $name = $entry->{name};
        next if $entry->{type} eq 'link';
        $journal->add(file => "$target/$name", $sum{$name}) if $entry->{type} eq 'file';
        $untgz->ExtractFile() == 0 or fail(FAILED, with_errors($untgz, "cannot install $name"));
        $done += $entry->{size} if $entry->{type} eq 'file';
        $progress->update($done);
    }
    end_of_walk($untgz);
    for my $link (@{ $payload->{manifest}{links} }) {
        my ($to, $name) = @$link;
        my $path = "$target/$name";
        (my $dir = $path) =~ s{/[^/]+\z}{};
        make_dirs($dir, $journal);
        $journal->add(link => $path, $to);
        symlink($to, $path) or fail(FAILED, "cannot make the link $path: $!");
    }
}

# Checks every installed file against its MD5 sum and every link against
# its target.
sub verify {
    my ($payload, $target, $progress) = @_;
    my $done = 0;
    for my $file (@{ $payload->{manifest}{files} }) {
        check();
        my ($expected, $name) = @$file;
        my $sum = KALDOR::Install::MD5Sum::MD5Sum("$target/$name");
        fail(FAILED, "$target/$name cannot be read back") unless defined $sum;
        fail(FAILED, "$target/$name does not match its MD5 sum in the manifest")
          unless $sum eq $expected;
        $done += $payload->{files}{$name};
        $progress->update($done);
    }
    for my $link (@{ $payload->{manifest}{links} }) {
        my ($to, $name) = @$link;
        my $found = readlink "$target/$name";
        fail(FAILED, "the link $target/$name does not lead to $to")
          unless defined $found && $found eq $to;
    }
}

1;

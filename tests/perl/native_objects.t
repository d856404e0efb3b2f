# Native objects of every module that hands records to Perl: a forged
# object, a copy of an object's hash kept past its DESTROY, and an object
# cloned into an interpreter thread neither crash nor free a record twice
# (the sanitizer build runs this too); the forged and the stale ones get
# the method's failure value.
use strict;
use warnings;
use threads;
use Test::More;
use LmxTest qw(finish temp_dir write_file gnu_tar);

my $dir = temp_dir();
write_file("$dir/tree/a.txt", "alpha\n");
my $archive = gnu_tar("$dir/tree", "$dir/a.tgz", ['-z'], 'a.txt');
open(my $lock_fh, '+<', "$dir/tree/a.txt") or die "$!\n";

bootstrap KALDOR::Install::FileLock;
bootstrap KALDOR::Install::Untgz;
bootstrap KALDOR::Install::PipeExec;
bootstrap KALDOR::Install::ProcState;

# Each kind: how to make a live object, the class and key of its record,
# and a method call that needs the record.
my @kinds = (
    ['FileLock', sub { KALDOR::Install::FileLock::new(fileno $lock_fh, 1) },
     'KALDOR::Install::FileLock', 'obj', sub { KALDOR::Install::FileLock::Test($_[0]) }],
    ['tar.gz reader', sub { LMX::Common::Archive::Tar->new($archive) },
     'LMX::Common::Archive::Tar', 'arch', sub { $_[0]->read }],
    ['tar.gz member', sub { LMX::Common::Archive::Tar->new($archive)->open('a.txt') },
     'LMX::Common::Archive::Tar::File', 'file', sub { $_[0]->read }],
    ['Untgz', sub { my $u = KALDOR::Install::Untgz::new(); $u->Open($archive); $u },
     'KALDOR::Install::Untgz', 'obj', sub { KALDOR::Install::Untgz::Next($_[0]) }],
    ['PipeExec', sub { KALDOR::Install::PipeExec->new },
     'KALDOR::Install::PipeExec', 'sess', sub { $_[0]->Close }],
    ['ProcState', sub { KALDOR::Install::ProcState->new(1) },
     'KALDOR::Install::ProcState', 'modlistptr',
     sub { KALDOR::Install::ProcState::WhoUsesModule($_[0], '/proc/self/exe') }],
);

# PipeExec's Close answers 0 for a missing session (its Perl half tests the
# address); every other method here answers undef.
sub failed { my ($kind, $result) = @_; return $kind eq 'PipeExec' ? !$result : !defined $result }

for my $kind (@kinds) {
    my ($name, $make, $class, $key, $use) = @$kind;
    subtest $name => sub {
        my $live = $make->();
        ok(defined $live->{$key} && $live->{$key} != 0, "the key $key holds the address");

        my $forged = bless { $key => $live->{$key} }, $class;
        ok(failed($name, $use->($forged)), 'a forged object with a real address names no record');
        my $made_up = bless { $key => 1234 }, $class;
        ok(failed($name, $use->($made_up)), 'a made-up address names no record');

        my $stale = bless { %$live }, $class;
        undef $live;
        ok(failed($name, $use->($stale)), 'a copy of the hash after DESTROY names no record');
        undef $stale;

        my $shared = $make->();
        my $in_thread = threads->create(sub { my $r = $use->($shared); failed($name, $r) ? 1 : 0 })
          ->join;
        is($in_thread, $name eq 'FileLock' ? 0 : 1,
           $name eq 'FileLock' ? 'the clone in a thread has its own copy'
                               : 'the clone in a thread has no record');
        ok(!failed($name, $use->($shared)) || $name eq 'PipeExec',
           'the original still works after the thread ended');
    };
}

subtest 'a FileLock is copied into a thread' => sub {
    my $lock = KALDOR::Install::FileLock::new(fileno $lock_fh, 1);
    is(KALDOR::Install::FileLock::Lock($lock), 0, 'locked');
    my $result = threads->create(sub { KALDOR::Install::FileLock::Test($lock) })->join;
    is($result, 0, 'the clone holds the same lock');
    is(KALDOR::Install::FileLock::Unlock($lock), 0, 'the original still unlocks');
};

subtest 'a member outlives no archive record' => sub {
    my $tar = LMX::Common::Archive::Tar->new($archive);
    my $member = $tar->open('a.txt');
    delete $tar->{arch};
    is($member->read, undef, 'a member whose archive lost its record reads nothing');
};

finish();

# KALDOR::Install::FSUsage: filesystem names (drives and shares in their
# own form, mount points for the rest), the remote test and the sizes,
# against findmnt, df and stat -f.
use strict;
use warnings;
use Test::More;
use Cwd qw(getcwd);
use LmxTest qw(finish temp_dir);

bootstrap KALDOR::Install::FSUsage;

my $tmp = temp_dir();

sub mount_point {
    my ($path) = @_;
    my ($point) = `findmnt -n -o TARGET --target '$path'`;
    chomp $point;
    return $point;
}

subtest 'filesystem names' => sub {
    is(KALDOR::Install::FSUsage::GetFSName('c:/tmp/x'), 'C:', 'a drive letter');
    is(KALDOR::Install::FSUsage::GetFSName('d:'), 'D:', 'a drive alone');
    is(KALDOR::Install::FSUsage::GetFSName('\\\\host\\share\\dir\\f'), '\\\\HOST\\SHARE',
       'a UNC path: server and share, upper case');
    is(KALDOR::Install::FSUsage::GetFSName('\\\\host\\share'), '\\\\HOST\\SHARE', 'the share alone');
    is(KALDOR::Install::FSUsage::GetFSName('\\\\host'), undef, 'a server name only');
    is(KALDOR::Install::FSUsage::GetFSName('\\\\host\\'), undef, 'an empty share name');
    is(KALDOR::Install::FSUsage::GetFSName('\\\\host\\\\x'), undef, 'an empty share name');
    is(KALDOR::Install::FSUsage::GetFSName($tmp), mount_point($tmp), 'a directory: its mount point');
    is(KALDOR::Install::FSUsage::GetFSName('/'), '/', 'the root');
    is(KALDOR::Install::FSUsage::GetFSName('relative/path'), mount_point(getcwd()),
       'a relative path: the mount point of the working directory');
  SKIP: {
        skip 'no /dev/shm', 2 unless -d '/dev/shm';
        is(KALDOR::Install::FSUsage::GetFSName('/dev/shm/not/there/yet'), mount_point('/dev/shm'),
           'a path that does not exist yet: the filesystem of its nearest parent');
        symlink '/dev/shm', "$tmp/link" or die;
        is(KALDOR::Install::FSUsage::GetFSName("$tmp/link/x"), mount_point('/dev/shm'),
           'a symbolic link is followed');
    }
  SKIP: {
        my $point = "$tmp/with space";
        mkdir $point;
        skip 'cannot mount a tmpfs here', 1
          unless $> == 0 && system("mount -t tmpfs lmxtest '$point' 2>/dev/null") == 0;
        is(KALDOR::Install::FSUsage::GetFSName("$point/x"), $point, 'a mount point with a blank');
        system('umount', $point);
    }
    is(KALDOR::Install::FSUsage::GetFSName(''), undef, 'an empty path');
    is(KALDOR::Install::FSUsage::GetFSName(), undef, 'no argument');
    is(KALDOR::Install::FSUsage::GetFSName('/', '/'), undef, 'two arguments');
};

subtest 'remote filesystems' => sub {
    is(KALDOR::Install::FSUsage::IsRemoteFS($tmp), 0, 'a local disk');
    is(KALDOR::Install::FSUsage::IsRemoteFS('c:/windows'), 0, 'drive C:, the root');
    is(KALDOR::Install::FSUsage::IsRemoteFS('/dev/shm/x'), 0, 'a memory filesystem is local')
      if -d '/dev/shm';
    is(KALDOR::Install::FSUsage::IsRemoteFS('q:/x'), undef, 'a drive that is not mapped');
    is(KALDOR::Install::FSUsage::IsRemoteFS('\\\\host\\share'), undef, 'a share that does not exist');
    is(KALDOR::Install::FSUsage::IsRemoteFS('\\\\host'), undef, 'no name');
    my @remote = grep { (split ' ', $_)[1] =~ /^(nfs4?|cifs|smb3|fuse\.sshfs|9p|ceph)$/ }
      `findmnt -rn -o TARGET,FSTYPE`;
  SKIP: {
        skip 'no network filesystem is mounted', 1 unless @remote;
        my ($point) = split ' ', $remote[0];
        is(KALDOR::Install::FSUsage::IsRemoteFS($point), 1, "the network filesystem at $point");
    }
};

subtest 'sizes' => sub {
    my @blocks = KALDOR::Install::FSUsage::GetFSSizeInBlocks($tmp);
    is(scalar @blocks, 5, 'five values');
    is($blocks[4], 1, 'the last is 1');
    my ($total, $free, $avail, $size) = split ' ', `stat -f -c '%b %f %a %S' '$tmp'`;
    is_deeply([@blocks[0, 3]], [$total, $size], 'total blocks and block size as stat -f');
    ok(abs($blocks[1] - $free) < $total / 100 && abs($blocks[2] - $avail) < $total / 100,
       'free and available blocks as stat -f');
    ok($blocks[2] <= $blocks[1], 'available to the caller no more than free');

    my @kb = KALDOR::Install::FSUsage::GetFSSize($tmp);
    is(scalar @kb, 3, 'three values');
    is($kb[2], 1024, 'the last is 1024');
    my ($df_total, $df_avail) = split ' ', (`df -k --output=size,avail '$tmp'`)[1];
    is($kb[0], $df_total, 'total kilobytes as df');
    ok(abs($kb[1] - $df_avail) < $df_total / 100, 'available kilobytes as df');
    # Free space changes between two reads while other programs write.
    my @drive = KALDOR::Install::FSUsage::GetFSSize('C:');
    my @root = KALDOR::Install::FSUsage::GetFSSize('/');
    is_deeply([@drive[0, 2]], [@root[0, 2]], 'drive C: is the root');
    ok(abs($drive[1] - $root[1]) <= $root[0] / 100, 'with the same space available');

    is(KALDOR::Install::FSUsage::GetFSSize('\\\\host\\share'), undef, 'no size for a missing share');
    is(KALDOR::Install::FSUsage::GetFSSizeInBlocks('q:'), undef, 'nor for a drive that is not mapped');
    is(KALDOR::Install::FSUsage::GetFSSize(), undef, 'no argument');
    is(KALDOR::Install::FSUsage::GetFSSizeInBlocks(''), undef, 'an empty path');
};

finish();

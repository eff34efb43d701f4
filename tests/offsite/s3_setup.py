#!/usr/bin/env python3
"""Sets up a private S3 server (moto) for the off-site tests as a chain's IT would set up its
storage: a bucket with versioning and Object Lock (default retention COMPLIANCE), a bucket
without either, and three IAM users: the shop's key (put, get, list only, as the README gives
it), a careless shop key allowed everything on the bucket, and head office's key. Prints one
line per user, "name access-key secret-key", then turns authentication on for every later
request.

    s3_setup.py PORT RETENTION_DAYS
"""
import json
import sys
import urllib.request

import boto3

port, days = int(sys.argv[1]), int(sys.argv[2])
endpoint = f"http://127.0.0.1:{port}"


def client(service, key="setup", secret="setup"):
    return boto3.client(service, endpoint_url=endpoint, region_name="us-east-1",
                        aws_access_key_id=key, aws_secret_access_key=secret)


s3 = client("s3")
s3.create_bucket(Bucket="shops", ObjectLockEnabledForBucket=True)
s3.put_object_lock_configuration(
    Bucket="shops",
    ObjectLockConfiguration={"ObjectLockEnabled": "Enabled",
                             "Rule": {"DefaultRetention": {"Mode": "COMPLIANCE", "Days": days}}})
s3.create_bucket(Bucket="plain")

shop_actions = ["s3:PutObject", "s3:GetObject", "s3:GetObjectVersion", "s3:ListBucket",
                "s3:ListBucketVersions", "s3:GetBucketVersioning",
                "s3:GetBucketObjectLockConfiguration"]
policies = {
    "shop": {"Effect": "Allow", "Action": shop_actions,
             "Resource": ["arn:aws:s3:::shops", "arn:aws:s3:::shops/*",
                          "arn:aws:s3:::plain", "arn:aws:s3:::plain/*"]},
    "careless": {"Effect": "Allow", "Action": "s3:*",
                 "Resource": ["arn:aws:s3:::shops", "arn:aws:s3:::shops/*"]},
    "headoffice": {"Effect": "Allow", "Action": "s3:*", "Resource": "*"},
}
iam = client("iam")
for name, statement in policies.items():
    iam.create_user(UserName=name)
    iam.put_user_policy(UserName=name, PolicyName=name,
                        PolicyDocument=json.dumps({"Version": "2012-10-17",
                                                   "Statement": [statement]}))
    key = iam.create_access_key(UserName=name)["AccessKey"]
    print(name, key["AccessKeyId"], key["SecretAccessKey"], flush=True)

# From now on every request is signed by one of these keys, and judged by its policy.
urllib.request.urlopen(urllib.request.Request(
    f"{endpoint}/moto-api/reset-auth", data=b"0", method="POST",
    headers={"Content-Type": "text/plain"}))

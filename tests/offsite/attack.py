#!/usr/bin/env python3
"""What ransomware with the shop's key does to its off-site copies: every object deleted (a
plain delete) and every name written over with garbage. Prints how many names it hit.

    attack.py PORT ACCESS SECRET BUCKET PREFIX
"""
import sys

import boto3

port, access, secret, bucket, prefix = sys.argv[1:6]
s3 = boto3.client("s3", endpoint_url=f"http://127.0.0.1:{port}", region_name="us-east-1",
                  aws_access_key_id=access, aws_secret_access_key=secret)
keys = []
# (moto signs a "/" in a query its own way: the prefix is one name, without it)
for page in s3.get_paginator("list_objects_v2").paginate(Bucket=bucket, Prefix=prefix):
    keys += [o["Key"] for o in page.get("Contents", []) if o["Key"].startswith(prefix + "/")]
for key in keys:
    try:
        s3.delete_object(Bucket=bucket, Key=key)
    except Exception as e:  # a key that may not delete still writes over
        print("delete refused:", key, e, file=sys.stderr)
    s3.put_object(Bucket=bucket, Key=key, Body=b"encrypted by ransomware " * 40)
print(len(keys))

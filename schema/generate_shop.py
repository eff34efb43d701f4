#!/usr/bin/env python3
"""Generates a shop's data for the suite's database: deterministic from a variant number, scalable.

usage: generate_shop.py OUTPUT_FOLDER [--variant N] [--scale S] [--days D]

Writes one tab-separated file per table (backslash escapes, \\N for NULL, the form LOAD DATA
reads by default) and load.sql, which loads them all into the current database:
    mariadb zentasupermarket < OUTPUT_FOLDER/load.sql
--scale multiplies the number of articles, customers, suppliers, tickets per day, pending
stock changes and pictures (1 is a small shop: about 2,000 articles and 150 tickets a day).
--days is the period of tickets, ending yesterday (so the same variant gives the same rows for
the same day). The data is awkward on purpose: Chinese and
Spanish names, commas, quotes, backslashes, tabs and line breaks inside text, NULLs.
"""
import argparse
import datetime
import os
import random

CN = "牛奶面包大米鸡蛋苹果香蕉酱油食盐白糖茶叶啤酒可乐饼干方便面洗衣粉牙膏毛巾肥皂纸巾"
ES = ["Leche", "Pan", "Arroz", "Huevos", "Manzana", "Plátano", "Salsa", "Sal", "Azúcar", "Té",
      "Cerveza", "Cola", "Galletas", "Fideos", "Detergente", "Pasta dental", "Toalla", "Jabón"]
AWKWARD = ["O'Brien", 'say "hi"', "a,b,c", "back\\slash", "tab\there", "line1\nline2",
           "crlf\r\nend", "ñandú", "😀", "", None]


def esc(v):
    if v is None:
        return "\\N"
    s = str(v)
    return (s.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n")
             .replace("\r", "\\r").replace("\0", "\\0"))


class Table:
    def __init__(self, folder, name, columns):
        self.name, self.columns = name, columns
        self.path = os.path.join(folder, name + ".tsv")
        self.f = open(self.path, "w", encoding="utf-8", newline="")
        self.rows = 0

    def row(self, *values):
        self.f.write("\t".join(esc(v) for v in values) + "\n")
        self.rows += 1

    def close(self):
        self.f.close()


def cn_name(rng, n=2):
    return "".join(rng.choice(CN) for _ in range(n))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("--variant", type=int, default=1)
    ap.add_argument("--scale", type=float, default=1.0)
    ap.add_argument("--days", type=int, default=90)
    a = ap.parse_args()
    rng = random.Random(a.variant)
    os.makedirs(a.out, exist_ok=True)
    s = a.scale
    n_art, n_cli, n_pro = int(2000 * s), int(300 * s), int(40 * s) + 1
    n_wh = 2
    tables = []

    def table(name, cols):
        t = Table(a.out, name, cols)
        tables.append(t)
        return t

    art = table("articulo", ["ArticuloID", "NombreES", "NombreCN", "CodigoBarra", "FamiliaID",
                             "ProveedorID", "Precio", "PrecioCosto", "PrecioMayor",
                             "CantidadPorUnidad", "CantidadPorUnidad2", "FechaCaducada", "Nota",
                             "FechaAlta"])
    articles = []
    for i in range(n_art):
        aid = "A%06d" % i if i % 97 else "A%06d'%s" % (i, rng.choice(["x", "\\", ","]))
        articles.append(aid)
        es = rng.choice(ES) + (" " + rng.choice(AWKWARD[:7]) if i % 13 == 0 else " %d" % i)
        price = round(rng.uniform(0.1, 300), 2)
        art.row(aid, es, cn_name(rng, rng.randint(2, 4)), "69%011d" % rng.randrange(10**11),
                rng.randint(1, 30), rng.randint(1, n_pro), "%.2f" % price, "%.2f" % (price * 0.7),
                None if i % 5 else "%.2f" % (price * 0.9), "1.000",
                "0.000" if i % 211 == 0 else "1.000",
                "9999-12-31" if i % 301 == 0 else (None if i % 3 else "2027-%02d-15" % rng.randint(1, 12)),
                rng.choice(AWKWARD), "2023-%02d-%02d 09:00:00" % (rng.randint(1, 12), rng.randint(1, 28)))
    cli = table("cliente", ["ClienteID", "NombreES", "NombreCN", "Telefono", "Direccion", "Descuento", "Nota"])
    for i in range(1, n_cli + 1):
        cli.row(i, rng.choice(["Ana", "Luis", "María José", "O'Neil", ""]) + " %d" % i, cn_name(rng, 3),
                None if i % 4 == 0 else "6%08d" % rng.randrange(10**8),
                "Calle %d, piso %d" % (rng.randint(1, 200), rng.randint(1, 9)), "%.2f" % rng.choice([0, 5, 10]),
                rng.choice(AWKWARD))
    pro = table("proveedor", ["ProveedorID", "NombreES", "NombreCN", "Telefono", "Direccion", "Nota"])
    for i in range(1, n_pro + 1):
        pro.row(i, "Proveedor %d, S.L." % i, cn_name(rng, 4) + "公司", "9%08d" % rng.randrange(10**8),
                "Polígono \"Sur\" %d" % i, rng.choice(AWKWARD))
    stk = table("stock", ["AlmacenID", "ArticuloID", "Stock"])
    stx = table("stockextra", ["ArticuloID", "Stock"])
    for aid in articles:
        for wh in range(1, n_wh + 1):
            if rng.random() < 0.8:
                stk.row(wh, aid, "%.3f" % rng.uniform(0, 500))
        if rng.random() < 0.3:
            stx.row(aid, "%.3f" % rng.uniform(0, 50))
    chg = table("stockcambio", ["ID", "AlmacenID", "ArticuloID", "Cantidad", "Fecha", "OrdenadorNombre"])
    chx = table("stockextracambio", ["ID", "ArticuloID", "Cantidad", "Fecha"])
    for i in range(1, int(3000 * s) + 1):
        chg.row(i, rng.randint(1, n_wh), rng.choice(articles), "%.3f" % rng.uniform(-20, 20),
                "2026-01-01 10:00:00", "192.168.1.%d" % rng.randint(2, 9))
        if i % 4 == 0:
            chx.row(i // 4, rng.choice(articles), "%.3f" % rng.uniform(-5, 5), "2026-01-01 10:00:00")

    tic = table("ticket", ["TicketNo", "Fecha", "AlmacenID", "ClienteID", "Cajero", "Total", "Nota"])
    lin = table("ticketarticulo", ["ID", "TicketNo", "ArticuloID", "NombreCN", "Cantidad", "Precio", "Descuento"])
    cob = table("ticketcobro", ["ID", "TicketNo", "FormaPago", "Importe", "Fecha"])
    eli = table("articuloeliminado", ["ID", "TicketNo", "ArticuloID", "Cantidad", "Precio", "Cajero", "Fecha"])
    tdt = table("ticketdiariototal", ["Fecha", "AlmacenID", "NumeroTickets", "Total"])
    vdt = table("ventadiariototal", ["Fecha", "ArticuloID", "Cantidad", "Importe"])
    gdt = table("gananciadiariototal", ["Fecha", "AlmacenID", "Venta", "Coste", "Ganancia"])
    today = datetime.date.today()
    per_day = max(1, int(150 * s))
    line_id = pay_id = del_id = 0
    for d in range(a.days, 0, -1):
        day = today - datetime.timedelta(days=d)
        daily_total, sold = 0.0, {}
        for t in range(1, per_day + 1):
            no = int(day.strftime("%y%m%d")) * 10000 + t
            when = "%s %02d:%02d:%02d" % (day, 8 + t * 12 // per_day, rng.randint(0, 59), rng.randint(0, 59))
            total = 0.0
            for _ in range(rng.randint(1, 8)):
                line_id += 1
                aid = rng.choice(articles)
                qty = rng.choice([1, 1, 2, 3, 0.5, 1.25])
                price = round(rng.uniform(0.5, 50), 2)
                total += qty * price
                sold[aid] = sold.get(aid, 0) + qty
                lin.row(line_id, no, aid, cn_name(rng), "%.3f" % qty, "%.2f" % price, "0.00")
            pay_id += 1
            cob.row(pay_id, no, rng.choice(["Efectivo", "Tarjeta", "现金"]), "%.2f" % total, when)
            if rng.random() < 0.05:
                del_id += 1
                eli.row(del_id, no, rng.choice(articles), "1.000", "1.00", "Caja 1", when)
            tic.row(no, when, 1, None if rng.random() < 0.7 else rng.randint(1, n_cli), "Caja %d" % rng.randint(1, 3),
                    "%.2f" % total, None if t % 50 else "nota, con \"comillas\"")
            daily_total += total
        tdt.row(day, 1, per_day, "%.2f" % daily_total)
        for aid, qty in list(sold.items())[:200]:
            vdt.row(day, aid, "%.3f" % qty, "%.2f" % (qty * 3))
        gdt.row(day, 1, "%.2f" % daily_total, "%.2f" % (daily_total * 0.7), "%.2f" % (daily_total * 0.3))

    # Pictures are bytes: their file is written in latin-1, one character a byte.
    pic = Table(a.out, "articulodibujo", ["ArticuloID", "Dibujo", "Fecha"])
    pic.f.close()
    pic.f = open(pic.path, "w", encoding="latin-1", newline="")
    tables.append(pic)
    for i in range(int(50 * s)):
        data = bytes(rng.getrandbits(8) for _ in range(rng.randint(2000, 20000)))
        aid = articles[i % len(articles)]
        pic.f.write(esc(aid).encode("utf-8").decode("latin-1") + "\t" + esc(data.decode("latin-1")) +
                    "\t2026-01-01 00:00:00\n")

    for t in tables:
        if not t.f.closed:
            t.close()
    with open(os.path.join(a.out, "load.sql"), "w", encoding="utf-8") as f:
        for t in tables:
            charset = "binary" if t.name == "articulodibujo" else "utf8mb4"
            f.write("LOAD DATA LOCAL INFILE '%s' INTO TABLE %s CHARACTER SET %s (%s);\n" % (
                os.path.abspath(t.path).replace("\\", "\\\\").replace("'", "\\'"), t.name, charset,
                ", ".join(t.columns)))


if __name__ == "__main__":
    main()

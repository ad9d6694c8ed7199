-- A small shop to try queries on: customers, products, orders and order lines.
--
-- Every row is generated here from a fixed pseudo-random stream, so the same
-- database comes out of every build. Amounts are REAL with two decimals, dates
-- are ISO text ('YYYY-MM-DD', 'YYYY-MM-DD HH:MM:SS'), and some values are Null
-- (missing e-mail or phone, products still on sale, orders not yet shipped).
--
--   sqlite3 shop.sqlite ".read shop.sql"

PRAGMA foreign_keys = ON;
BEGIN;

-- The random stream: r is 0..32767, the high bits of a classic linear
-- congruential generator started at a fixed seed.
CREATE TEMP TABLE rnd(i INTEGER PRIMARY KEY, r INTEGER NOT NULL);
WITH RECURSIVE lcg(i, s) AS (
    SELECT 0, 20240611
    UNION ALL
    SELECT i + 1, (s * 1103515245 + 12345) % 2147483648 FROM lcg WHERE i < 60000
)
INSERT INTO rnd(i, r) SELECT i, s / 65536 FROM lcg;

-- Word lists the customers and products are drawn from.
CREATE TEMP TABLE country(idx INTEGER PRIMARY KEY, code TEXT, name TEXT, dial TEXT);
INSERT INTO country VALUES
    (0, 'IS', 'Iceland', '354'), (1, 'DE', 'Germany', '49'), (2, 'PL', 'Poland', '48'),
    (3, 'JP', 'Japan', '81'), (4, 'GB', 'United Kingdom', '44'), (5, 'FR', 'France', '33');

CREATE TEMP TABLE city(code TEXT, idx INTEGER, name TEXT, PRIMARY KEY(code, idx));
INSERT INTO city VALUES
    ('IS', 0, 'Reykjavík'), ('IS', 1, 'Akureyri'), ('IS', 2, 'Hafnarfjörður'),
    ('DE', 0, 'München'), ('DE', 1, 'Köln'), ('DE', 2, 'Düsseldorf'),
    ('PL', 0, 'Kraków'), ('PL', 1, 'Łódź'), ('PL', 2, 'Gdańsk'),
    ('JP', 0, '東京'), ('JP', 1, '大阪'), ('JP', 2, '京都'),
    ('GB', 0, 'London'), ('GB', 1, 'Manchester'), ('GB', 2, 'Edinburgh'),
    ('FR', 0, 'Paris'), ('FR', 1, 'Lyon'), ('FR', 2, 'Besançon');

-- Indexes 0..2 are women's names, 3..5 men's; ascii is the e-mail spelling.
CREATE TEMP TABLE first_name(code TEXT, idx INTEGER, name TEXT, ascii TEXT, PRIMARY KEY(code, idx));
INSERT INTO first_name VALUES
    ('IS', 0, 'Þórunn', 'thorunn'), ('IS', 1, 'Sigríður', 'sigridur'), ('IS', 2, 'Guðrún', 'gudrun'),
    ('IS', 3, 'Jón', 'jon'), ('IS', 4, 'Ólafur', 'olafur'), ('IS', 5, 'Einar', 'einar'),
    ('DE', 0, 'Jürgen', 'juergen'), ('DE', 1, 'Käthe', 'kaethe'), ('DE', 2, 'Anna', 'anna'),
    ('DE', 3, 'Björn', 'bjoern'), ('DE', 4, 'Günter', 'guenter'), ('DE', 5, 'Lukas', 'lukas'),
    ('PL', 0, 'Małgorzata', 'malgorzata'), ('PL', 1, 'Zofia', 'zofia'), ('PL', 2, 'Agnieszka', 'agnieszka'),
    ('PL', 3, 'Łukasz', 'lukasz'), ('PL', 4, 'Paweł', 'pawel'), ('PL', 5, 'Wojciech', 'wojciech'),
    ('JP', 0, '花子', 'hanako'), ('JP', 1, '美咲', 'misaki'), ('JP', 2, '陽子', 'yoko'),
    ('JP', 3, '太郎', 'taro'), ('JP', 4, '健', 'ken'), ('JP', 5, '翔太', 'shota'),
    ('GB', 0, 'Emily', 'emily'), ('GB', 1, 'Olivia', 'olivia'), ('GB', 2, 'Siobhan', 'siobhan'),
    ('GB', 3, 'James', 'james'), ('GB', 4, 'Oliver', 'oliver'), ('GB', 5, 'Harry', 'harry'),
    ('FR', 0, 'Zoé', 'zoe'), ('FR', 1, 'Hélène', 'helene'), ('FR', 2, 'Léa', 'lea'),
    ('FR', 3, 'François', 'francois'), ('FR', 4, 'Jérôme', 'jerome'), ('FR', 5, 'Noël', 'noel');

-- Women's and men's forms of each family name (they differ in Iceland and Poland).
CREATE TEMP TABLE last_name(code TEXT, idx INTEGER, female TEXT, male TEXT, PRIMARY KEY(code, idx));
INSERT INTO last_name VALUES
    ('IS', 0, 'Guðmundsdóttir', 'Guðmundsson'), ('IS', 1, 'Jónsdóttir', 'Jónsson'),
    ('IS', 2, 'Sigurðardóttir', 'Sigurðsson'), ('IS', 3, 'Þórsdóttir', 'Þórsson'),
    ('IS', 4, 'Ólafsdóttir', 'Ólafsson'), ('IS', 5, 'Kristjánsdóttir', 'Kristjánsson'),
    ('DE', 0, 'Müller', 'Müller'), ('DE', 1, 'Schäfer', 'Schäfer'), ('DE', 2, 'Weiß', 'Weiß'),
    ('DE', 3, 'Groß', 'Groß'), ('DE', 4, 'Köhler', 'Köhler'), ('DE', 5, 'Schmidt', 'Schmidt'),
    ('PL', 0, 'Żółć', 'Żółć'), ('PL', 1, 'Kowalska', 'Kowalski'), ('PL', 2, 'Wiśniewska', 'Wiśniewski'),
    ('PL', 3, 'Nowak', 'Nowak'), ('PL', 4, 'Wójcik', 'Wójcik'), ('PL', 5, 'Dąbrowska', 'Dąbrowski'),
    ('JP', 0, '山田', '山田'), ('JP', 1, '佐藤', '佐藤'), ('JP', 2, '鈴木', '鈴木'),
    ('JP', 3, '高橋', '高橋'), ('JP', 4, '田中', '田中'), ('JP', 5, '渡辺', '渡辺'),
    ('GB', 0, 'Smith', 'Smith'), ('GB', 1, 'O''Brien', 'O''Brien'), ('GB', 2, 'Taylor', 'Taylor'),
    ('GB', 3, 'Davies', 'Davies'), ('GB', 4, 'Evans', 'Evans'), ('GB', 5, 'Wilson', 'Wilson'),
    ('FR', 0, 'Lefèvre', 'Lefèvre'), ('FR', 1, 'Dubois', 'Dubois'), ('FR', 2, 'Fournier', 'Fournier'),
    ('FR', 3, 'Girard', 'Girard'), ('FR', 4, 'Bélanger', 'Bélanger'), ('FR', 5, 'Moreau', 'Moreau');

CREATE TEMP TABLE item(idx INTEGER PRIMARY KEY, name TEXT, category TEXT, price REAL);
INSERT INTO item VALUES
    (0, 'Lopapeysa wool sweater', 'Clothing', 89.90), (1, 'Wool socks', 'Clothing', 12.50),
    (2, 'Rain jacket', 'Clothing', 64.00), (3, 'Kaffibolli mug', 'Kitchen', 9.75),
    (4, 'Teekanne teapot', 'Kitchen', 24.90), (5, 'Gußeisenpfanne cast-iron pan', 'Kitchen', 39.50),
    (6, 'Chef''s knife', 'Kitchen', 45.00), (7, 'Crème brûlée set', 'Kitchen', 27.00),
    (8, 'Pierogi ruskie (frozen)', 'Food', 6.40), (9, '抹茶 matcha tea', 'Food', 14.80),
    (10, '醤油 soy sauce', 'Food', 4.35), (11, 'Harðfiskur dried fish', 'Food', 11.60),
    (12, 'Brezeln', 'Food', 3.20), (13, 'Notebook A5', 'Stationery', 5.50),
    (14, 'Fountain pen', 'Stationery', 32.00), (15, '折り紙 origami paper', 'Stationery', 7.25),
    (16, 'Desk lamp', 'Home', 49.99), (17, 'Scented candle', 'Home', 8.90),
    (18, 'Throw blanket', 'Home', 54.00), (19, 'Żubrówka glasses', 'Home', 18.20);

CREATE TEMP TABLE variant(idx INTEGER PRIMARY KEY, suffix TEXT, factor REAL);
INSERT INTO variant VALUES (0, '', 1.0), (1, ', 2-pack', 1.9), (2, ', gift box', 2.5);

CREATE TEMP TABLE note(idx INTEGER PRIMARY KEY, text TEXT);
INSERT INTO note VALUES
    (0, 'Gift wrap, please'), (1, 'Leave at the door'), (2, 'Bitte nicht klingeln'),
    (3, 'Proszę dzwonić przed dostawą'), (4, '置き配希望'), (5, 'Vinsamlegast hringið á undan');

-- The shop itself.
CREATE TABLE customers (
    customer_id INTEGER PRIMARY KEY,
    first_name  TEXT NOT NULL,
    last_name   TEXT NOT NULL,
    email       TEXT,
    phone       TEXT,
    city        TEXT NOT NULL,
    country     TEXT NOT NULL,
    created_at  TEXT NOT NULL          -- 'YYYY-MM-DD HH:MM:SS'
);

CREATE TABLE products (
    product_id   INTEGER PRIMARY KEY,
    sku          TEXT NOT NULL UNIQUE,
    name         TEXT NOT NULL,
    category     TEXT NOT NULL,
    unit_price   REAL NOT NULL CHECK (unit_price >= 0),
    in_stock     INTEGER NOT NULL,
    introduced   TEXT NOT NULL,        -- 'YYYY-MM-DD'
    discontinued TEXT                  -- Null while still on sale
);

CREATE TABLE orders (
    order_id    INTEGER PRIMARY KEY,
    customer_id INTEGER NOT NULL REFERENCES customers(customer_id),
    order_date  TEXT NOT NULL,         -- 'YYYY-MM-DD'
    status      TEXT NOT NULL CHECK (status IN ('pending', 'shipped', 'delivered', 'cancelled')),
    shipped_at  TEXT,                  -- Null until shipped
    note        TEXT
);

CREATE TABLE order_lines (
    order_id   INTEGER NOT NULL REFERENCES orders(order_id),
    line_no    INTEGER NOT NULL,
    product_id INTEGER NOT NULL REFERENCES products(product_id),
    quantity   INTEGER NOT NULL CHECK (quantity > 0),
    unit_price REAL NOT NULL,          -- the price paid, after any discount
    PRIMARY KEY (order_id, line_no)
);

CREATE INDEX orders_customer ON orders(customer_id);
CREATE INDEX orders_date ON orders(order_date);
CREATE INDEX order_lines_product ON order_lines(product_id);

-- 200 customers; the first four are fixed so that there is someone to look for.
INSERT INTO customers VALUES
    (1, 'Þórunn', 'Guðmundsdóttir', 'thorunn.1@example.com', '+354 555 1234', 'Reykjavík', 'Iceland', '2020-01-03 09:15:00'),
    (2, 'Jürgen', 'Müller', 'juergen.2@example.org', NULL, 'München', 'Germany', '2020-01-04 17:42:10'),
    (3, 'Łukasz', 'Żółć', NULL, '+48 601 2020', 'Łódź', 'Poland', '2020-01-06 11:05:33'),
    (4, '太郎', '山田', 'taro.4@example.net', '+81 903 1234', '東京', 'Japan', '2020-01-09 08:00:00');

WITH RECURSIVE seq(n) AS (SELECT 5 UNION ALL SELECT n + 1 FROM seq WHERE n < 200),
draw AS (
    SELECT n,
        (SELECT r FROM rnd WHERE i = n * 8 + 0) AS r0, (SELECT r FROM rnd WHERE i = n * 8 + 1) AS r1,
        (SELECT r FROM rnd WHERE i = n * 8 + 2) AS r2, (SELECT r FROM rnd WHERE i = n * 8 + 3) AS r3,
        (SELECT r FROM rnd WHERE i = n * 8 + 4) AS r4, (SELECT r FROM rnd WHERE i = n * 8 + 5) AS r5,
        (SELECT r FROM rnd WHERE i = n * 8 + 6) AS r6
    FROM seq
)
INSERT INTO customers
SELECT d.n, f.name,
    CASE WHEN f.idx < 3 THEN l.female ELSE l.male END,
    CASE WHEN d.r4 % 10 = 0 THEN NULL
         ELSE f.ascii || '.' || d.n || '@example.' || (CASE d.r4 % 3 WHEN 0 THEN 'com' WHEN 1 THEN 'org' ELSE 'net' END) END,
    CASE WHEN d.r5 % 10 < 3 THEN NULL
         ELSE printf('+%s %03d %04d', c.dial, d.r5 % 1000, d.r6 % 10000) END,
    ci.name, c.name,
    datetime('2020-01-10', '+' || (d.r3 % 720) || ' days', '+' || (d.r6 % 1440) || ' minutes',
             '+' || (d.r2 % 60) || ' seconds')
FROM draw d
JOIN country c ON c.idx = d.r0 % 6
JOIN first_name f ON f.code = c.code AND f.idx = d.r1 % 6
JOIN last_name l ON l.code = c.code AND l.idx = d.r2 % 6
JOIN city ci ON ci.code = c.code AND ci.idx = d.r3 % 3;

-- 60 products: every item in three variants; about one in seven discontinued.
WITH p AS (
    SELECT i.idx * 3 + v.idx + 1 AS id, i.name || v.suffix AS name, i.category,
        round(i.price * v.factor, 2) AS price
    FROM item i CROSS JOIN variant v
),
draw AS (
    SELECT p.*,
        (SELECT r FROM rnd WHERE i = 5000 + id * 4 + 0) AS r0,
        (SELECT r FROM rnd WHERE i = 5000 + id * 4 + 1) AS r1,
        (SELECT r FROM rnd WHERE i = 5000 + id * 4 + 2) AS r2,
        date('2019-06-01', '+' || ((SELECT r FROM rnd WHERE i = 5000 + id * 4 + 3) % 900) || ' days') AS introduced
    FROM p
)
INSERT INTO products
SELECT id, printf('%s-%03d', upper(substr(category, 1, 3)), id), name, category, price,
    CASE WHEN r0 % 7 = 0 THEN 0 ELSE r1 % 250 END,
    introduced,
    CASE WHEN r0 % 7 = 0 THEN date(introduced, '+' || (200 + r2 % 600) || ' days') END
FROM draw ORDER BY id;

-- 1500 orders from 2022 on; customers 191..200 never ordered anything.
WITH RECURSIVE seq(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM seq WHERE n < 1500),
draw AS (
    SELECT n,
        (SELECT r FROM rnd WHERE i = 10000 + n * 6 + 0) AS r0, (SELECT r FROM rnd WHERE i = 10000 + n * 6 + 1) AS r1,
        (SELECT r FROM rnd WHERE i = 10000 + n * 6 + 2) AS r2, (SELECT r FROM rnd WHERE i = 10000 + n * 6 + 3) AS r3,
        (SELECT r FROM rnd WHERE i = 10000 + n * 6 + 4) AS r4,
        date('2022-01-01', '+' || ((n - 1) * 1000 / 1500) || ' days') AS order_date
    FROM seq
),
st AS (
    SELECT *, CASE WHEN r1 % 25 = 0 THEN 'cancelled'
                   WHEN n > 1480 OR r1 % 25 = 1 THEN 'pending'
                   WHEN n > 1440 OR r1 % 25 IN (2, 3) THEN 'shipped'
                   ELSE 'delivered' END AS status
    FROM draw
)
INSERT INTO orders
SELECT n, 1 + r0 % 190, order_date, status,
    CASE WHEN status IN ('shipped', 'delivered')
         THEN datetime(order_date, '+' || (1 + r2 % 4) || ' days', '+' || (480 + r3 % 600) || ' minutes') END,
    CASE WHEN r4 % 8 = 0 THEN (SELECT text FROM note WHERE idx = r4 / 8 % 6) END
FROM st;

-- One to five lines an order (about 2.6 on average), no product twice in one order.
WITH RECURSIVE line(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM line WHERE k < 5),
o AS (
    SELECT order_id, (SELECT r FROM rnd WHERE i = 20000 + order_id * 3) AS size,
        (SELECT r FROM rnd WHERE i = 20001 + order_id * 3) AS first_product
    FROM orders
),
draw AS (
    SELECT o.order_id, line.k,
        1 + (o.first_product + line.k * 7) % 60 AS product_id,
        (SELECT r FROM rnd WHERE i = 30000 + o.order_id * 5 + line.k) AS q
    FROM o JOIN line ON line.k <= 1 + o.size % 4 + (o.size / 4 % 7 = 0)
)
INSERT INTO order_lines
SELECT d.order_id, d.k, d.product_id,
    CASE WHEN d.q % 10 < 6 THEN 1 WHEN d.q % 10 < 8 THEN 2 WHEN d.q % 10 = 8 THEN 3 ELSE 4 + d.q / 10 % 9 END,
    CASE WHEN d.q / 100 % 12 = 0 THEN round(p.unit_price * 0.9, 2) ELSE p.unit_price END
FROM draw d JOIN products p USING (product_id)
ORDER BY d.order_id, d.k;

-- Handy views.
CREATE VIEW customer_names AS
SELECT customer_id,
    CASE country WHEN 'Japan' THEN last_name || first_name ELSE first_name || ' ' || last_name END AS full_name,
    city, country
FROM customers;

CREATE VIEW order_totals AS
SELECT o.order_id, o.order_date, o.status, o.customer_id, n.full_name AS customer,
    count(*) AS lines, sum(l.quantity) AS items, round(sum(l.quantity * l.unit_price), 2) AS total
FROM orders o
JOIN customer_names n USING (customer_id)
JOIN order_lines l USING (order_id)
GROUP BY o.order_id;

DROP TABLE rnd;
DROP TABLE country;
DROP TABLE city;
DROP TABLE first_name;
DROP TABLE last_name;
DROP TABLE item;
DROP TABLE variant;
DROP TABLE note;

COMMIT;
ANALYZE;
